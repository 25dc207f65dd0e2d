"""The Debian package that CPack makes of the build tree: its control fields, its contents (the
install tree under /usr, nothing else), and a real `dpkg -i` of it that runs the installed
`fernd --version`, verifies the installed files and removes the package again.

CI runs as root on a real machine, so the package is never installed into the machine's own
root: dpkg installs it into a temporary directory with a private dpkg database. That database
holds copies of the machine's records of the packages that fernd depends on, so dpkg still checks
the dependencies for real, and the package has no maintainer scripts that could touch the host.
"""

import glob
import os
import re
import subprocess
import tempfile

from install_support import (check, expected_install_files, list_files, need_tool, parse_args,
                             run, run_ok)

PREFIX = "/usr"


def build_package(args, out_dir):
    cpack = need_tool("cpack", "cmake")
    need_tool("dpkg-shlibdeps", "dpkg-dev")
    run_ok([cpack, "--config", os.path.join(args.build_dir, "CPackConfig.cmake"), "-G", "DEB",
            "-B", out_dir], timeout=300)
    packages = glob.glob(os.path.join(out_dir, "*.deb"))
    check(len(packages) == 1, f"expected one .deb in {out_dir}, found {packages}")
    return packages[0]


def check_control(args, package):
    version = args.version
    arch = run_ok(["dpkg", "--print-architecture"]).stdout.strip()
    check(os.path.basename(package) == f"fernd_{version}-1_{arch}.deb",
          f"package file name {os.path.basename(package)}")
    fields = {}
    for field in ("Package", "Version", "Architecture", "Section", "Maintainer", "Depends",
                  "Description"):
        fields[field] = run_ok(["dpkg-deb", "--field", package, field]).stdout.strip()
    expected = {
        "Package": "fernd",
        "Version": f"{version}-1",
        "Architecture": arch,
        "Section": "mail",
        "Maintainer": "The fernd developers <dev@fernd.invalid>",
    }
    for field, value in expected.items():
        check(fields[field] == value, f"control field {field}: {fields[field]!r}, not {value!r}")
    check(fields["Description"].startswith("small POP3 server for local Maildirs\n"),
          f"Description: {fields['Description']!r}")
    # What the description promises, against what the program and the package do: TOP with the
    # option that --help lists, and the ports of the shipped stunnel configuration.
    description = " ".join(fields["Description"].split())
    help_text = run_ok([args.binary, "--help"]).stdout
    check("--top" in help_text and "TOP with --top" in description
          and "without TOP" not in description,
          f"Description does not match --help on TOP: {description!r}")
    with open(os.path.join(args.source_dir, "dist/stunnel/fernd-pop3s.conf.in"),
              encoding="utf-8") as conf:
        accepts = re.findall(r"^accept = :::(\d+)$", conf.read(), re.MULTILINE)
    check(accepts == ["995", "110"] and "POP3S on port 995" in description
          and "STARTTLS on port 110" in description,
          f"Description and the stunnel configuration's ports ({accepts}): {description!r}")
    # dpkg-shlibdeps found the C library at least. The C++ runtime and libgcc are dependencies
    # exactly when the binary loads them: a build that links them in (the default) must not
    # claim them, and one that does not must name them.
    depends = [d.strip() for d in fields["Depends"].split(",")]
    check(any(d.startswith("libc6 ") for d in depends), f"Depends: {fields['Depends']!r}")
    names = [re.split(r"\s*\(", d)[0] for d in depends]
    needed = shared_libraries(args.binary)
    for library, dependency in (("libstdc++.so.6", "libstdc++6"), ("libgcc_s.so.1", "libgcc-s1")):
        check((library in needed) == (dependency in names),
              f"the binary loads {sorted(needed)}, but Depends is {fields['Depends']!r}")
    return names


def shared_libraries(binary):
    """The NEEDED entries of an ELF binary's dynamic section."""
    dynamic = run_ok([need_tool("readelf", "binutils"), "--dynamic", binary]).stdout
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic))


def check_contents(args, package):
    listing = run_ok(["dpkg-deb", "--contents", package]).stdout.splitlines()
    files = sorted(line.split()[5][1:] for line in listing if not line.startswith("d"))
    expected = expected_install_files(PREFIX)
    check(files == expected, "package contents:\n  " + "\n  ".join(files) +
          "\nexpected:\n  " + "\n  ".join(expected))
    control = run_ok(["dpkg-deb", "--info", package]).stdout
    for script in ("preinst", "postinst", "prerm", "postrm"):
        check(f" {script} " not in control,
              f"the package has a {script}: it would run on the host in this test")


def private_dpkg(root, admin, *dpkg_args):
    return run(["dpkg", f"--instdir={root}", f"--admindir={admin}", "--force-not-root",
                "--log=/dev/null", *dpkg_args], timeout=120)


def install_and_run(package, depends, version, tmp):
    root = os.path.join(tmp, "root")
    admin = os.path.join(root, "var/lib/dpkg")
    for sub in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, sub))
    # The private database knows the dependencies as installed, copied from the machine's
    # records: an unmet or wrongly versioned dependency fails the install below.
    with open(os.path.join(admin, "status"), "w", encoding="utf-8") as status:
        for dep in depends:
            record = run(["dpkg-query", "--status", dep])
            check(record.returncode == 0, f"dependency {dep} is not installed on this machine")
            status.write(record.stdout.rstrip("\n") + "\n\n")
            # ... with an empty list of files, which dpkg expects of every installed package.
            arch = re.search(r"^Architecture: (\S+)$", record.stdout, re.MULTILINE).group(1)
            same = re.search(r"^Multi-Arch: same$", record.stdout, re.MULTILINE)
            name = f"{dep}:{arch}" if same else dep
            open(os.path.join(admin, "info", name + ".list"), "w", encoding="utf-8").close()
    open(os.path.join(admin, "available"), "w", encoding="utf-8").close()

    result = private_dpkg(root, admin, "--install", package)
    check(result.returncode == 0 and "warning" not in result.stderr.lower(),
          f"dpkg -i failed or warned ({result.returncode}):\n{result.stdout}{result.stderr}")
    state = private_dpkg(root, admin, "--status", "fernd").stdout
    check("Status: install ok installed" in state, f"fernd not installed:\n{state}")

    binary = os.path.join(root, "usr/sbin/fernd")
    out = subprocess.run([binary, "--version"], capture_output=True, text=True, timeout=30,
                         check=False)
    check(out.returncode == 0 and out.stdout.startswith(f"fernd version {version}\n"),
          f"installed fernd --version: status {out.returncode}, output {out.stdout!r} "
          f"{out.stderr!r}")

    result = private_dpkg(root, admin, "--verify", "fernd")
    check(result.returncode == 0 and not result.stdout,
          f"dpkg --verify found changed files:\n{result.stdout}{result.stderr}")

    result = private_dpkg(root, admin, "--purge", "fernd")
    check(result.returncode == 0, f"dpkg --purge failed:\n{result.stdout}{result.stderr}")
    left = [path for path in list_files(root) if not path.startswith("/var/lib/dpkg/")]
    check(not left, f"files left after dpkg --purge: {left}")


def main():
    args = parse_args()
    need_tool("dpkg-deb", "dpkg")
    with tempfile.TemporaryDirectory(prefix="fernd-package-") as tmp:
        package = build_package(args, os.path.join(tmp, "out"))
        depends = check_control(args, package)
        check_contents(args, package)
        install_and_run(package, depends, args.version, tmp)


if __name__ == "__main__":
    main()
