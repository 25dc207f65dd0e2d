"""Helpers shared by the install, unit, package and inetd-mode tests.

Every test gets the same arguments from tests/e2e/install.cmake: the source and build trees,
the fernd binary and the project version. The helpers of every end-to-end group, such as the
one for servers on a free port, are those of fernd_harness in the directory above, which the
tests import as `harness` from here.
"""

import argparse
import os
import shutil
import subprocess
import sys

# The scripts one directory up import fernd_harness from their own directory, which Python
# puts first on the module path; the one above this script's comes next here.
sys.path.insert(1, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import fernd_harness as harness  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--version", required=True)
    return parser.parse_args()


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def need_tool(name, package):
    """The path of a tool the test cannot do without; scripts/test installs it (scripts/packages)."""
    path = shutil.which(name)
    if path is None:
        fail(f"{name} not found; install the Debian package {package}")
    return path


def run(args, env=None, cwd=None, timeout=120):
    """Runs a command to its end and returns the completed process (output as text)."""
    return subprocess.run(args, env=env, cwd=cwd, timeout=timeout, capture_output=True,
                          text=True, check=False)


def run_ok(args, env=None, cwd=None, timeout=120):
    result = run(args, env=env, cwd=cwd, timeout=timeout)
    if result.returncode != 0:
        fail(f"{' '.join(args)} exited with {result.returncode}:\n"
             f"{result.stdout}{result.stderr}")
    return result


def cmake_install(build_dir, destdir=None, prefix=None):
    """`cmake --install` of the build tree, into DESTDIR and/or under another prefix."""
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir is not None:
        env["DESTDIR"] = destdir
    args = ["cmake", "--install", build_dir]
    if prefix is not None:
        args += ["--prefix", prefix]
    run_ok(args, env=env)


def cached_install_prefix(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith("CMAKE_INSTALL_PREFIX:"):
                return line.split("=", 1)[1].strip()
    fail("CMAKE_INSTALL_PREFIX not found in the build tree's CMakeCache.txt")
    return None


def list_files(root):
    """Every file and symbolic link under root, as sorted paths relative to root with a leading
    slash (directories are implied by their contents)."""
    found = []
    for dirpath, _dirnames, filenames in os.walk(root):
        for name in filenames:
            found.append("/" + os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(found)


def expected_install_files(prefix):
    """What an install of fernd under prefix must contain, and nothing else."""
    files = [
        "sbin/fernd",
        "share/man/man8/fernd.8",
        "lib/systemd/system/fernd.service",
        "lib/systemd/system/fernd.socket",
        "lib/systemd/system/fernd@.service",
        "share/doc/fernd/README.md",
        "share/doc/fernd/clients.md",
        "share/doc/fernd/scaling.md",
        "share/doc/fernd/design.md",
        "share/doc/fernd/performance.md",
        "share/doc/fernd/LICENSE",
        "share/doc/fernd/stunnel/fernd-pop3s.conf",
        "share/doc/fernd/stunnel/override.conf",
        "share/doc/fernd/fail2ban/fernd.conf",
    ]
    return sorted(prefix.rstrip("/") + "/" + f for f in files)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def unit_exec_start(path):
    """The ExecStart= line of a unit file, without the key."""
    with open(path, encoding="utf-8") as unit:
        lines = [line.rstrip("\n") for line in unit if line.startswith("ExecStart=")]
    check(len(lines) == 1, f"{path}: expected one ExecStart= line, found {len(lines)}")
    return lines[0][len("ExecStart="):]
