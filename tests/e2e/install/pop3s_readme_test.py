"""The README's "POP3 over TLS" commands, read from its text:

- trying it by hand right after the Quick start: as a user without a terminal, in a source
  directory of the user's own that holds what the README's commands use there (the stunnel
  template, and the fernd that the Quick start built, at build/src/fernd), the `openssl` command
  and the by-hand block make a certificate and a password file of mode 0600, fill in the
  template with ports of the test's in place of 1995 and 1110, and start stunnel4 in the
  foreground, whose log names the handshake it waits for; the README's curl lines, trusting that
  certificate, fetch message 1 of ~/Maildir byte for byte, one over POP3S and one over
  STARTTLS, and fernd's log in ~/pop3s holds both sessions. Nothing is installed for it. The
  same commands again with the installed configuration in place of the template, as the README
  says, typed in the home directory;
- the systemd set-up, against an install under a temporary prefix (in place of /usr): as root,
  with /etc/ under a temporary root, and stand-ins for apt-get and systemctl that note their
  arguments (there is no systemd to run here): the files land where Debian's stunnel@.service
  looks for the instance that the README enables, and `systemd-analyze verify` accepts that
  instance with the drop-in where the README put it.
"""

import os
import shlex
import shutil
import stat
import subprocess
import tempfile

from install_support import check, cmake_install, harness, need_tool, parse_args, run

import doc_recipes  # noqa: E402  (beside fernd_harness, which install_support puts on the path)
from doc_recipes import recipe  # noqa: E402

INSTANCE = "stunnel@fernd-pop3s.service"


def source_tree(source_dir, binary, user):
    """The user's source directory after the Quick start, as far as the by-hand try uses it:
    the stunnel template and the fernd built in build/. A copy of the user's own, since the
    real trees may lie where the user cannot reach them (a clone in root's home)."""
    tree = os.path.join(user.base, "fernd")
    template = os.path.join("dist", "stunnel", "fernd-pop3s.conf.in")
    os.makedirs(os.path.join(tree, os.path.dirname(template)))
    shutil.copyfile(os.path.join(source_dir, template), os.path.join(tree, template))
    os.makedirs(os.path.join(tree, "build", "src"))
    shutil.copyfile(binary, os.path.join(tree, "build", "src", "fernd"))
    os.chmod(os.path.join(tree, "build", "src", "fernd"), 0o755)
    user.give(tree)
    return tree


def by_hand(workspace, name, source=None, docdir=None):
    """The by-hand try, as the user name: typed in the source directory after the Quick start
    when source gives the source and build trees (source_dir, binary), or in the home directory
    with the installed configuration of docdir in place of the template, as the README says.
    Returns nothing, fails on the first thing that is wrong."""
    user = doc_recipes.RecipeUser(workspace, name)
    messages = {"1001.first": harness.headers("first") + b"first\n.dot\n",
                "1002.second": harness.headers("second") + b"second\r\n"}
    harness.Maildir(user.path("Maildir"), messages)
    user.give(user.home)
    port = harness.free_port()
    starttls_port = port
    for _ in range(20):  # another free port: the first one is not bound yet
        starttls_port = harness.free_port()
        if starttls_port != port:
            break
    site = doc_recipes.Site(tls_port=port, home=user.home, starttls_port=starttls_port)
    # The ports of the user's own, where the by-hand block puts them: the sed expressions
    # that find the shipped ports 995 and 110 stay as they are.
    text = recipe("pop3s-by-hand").text
    for documented, chosen in ((1995, port), (1110, starttls_port)):
        text = harness.replace_exactly(text, f"/accept = 127.0.0.1:{documented}/",
                                       f"/accept = 127.0.0.1:{chosen}/")
    script = doc_recipes.Site(home=user.home).apply(recipe("pop3s-certificate").text + text)
    if source is not None:
        script = f"cd {shlex.quote(source_tree(*source, user))}\n" + script
    else:
        script = harness.replace_exactly(script, "dist/stunnel/fernd-pop3s.conf.in",
                                         os.path.join(docdir, "stunnel/fernd-pop3s.conf"))
    output_path = workspace.path("by-hand.out")
    process = user.start(script, output_path)
    try:
        harness.wait_until(lambda: (harness.listener_of(process, port) is not None
                                    and harness.listener_of(process, starttls_port) is not None)
                           or process.poll() is not None, "stunnel4 to listen")
        check(process.poll() is None,
              f"the by-hand commands ended with {process.returncode}:\n"
              f"{harness.read_text(output_path)}")
        mode = stat.S_IMODE(os.stat(user.path("pop3s/password")).st_mode)
        check(mode == 0o600, f"the by-hand password file has mode {mode:o}, expected 600")
        log = harness.LogFile(user.path("pop3s/fernd.log"))
        for count, name in enumerate(("pop3s-by-hand-fetch", "pop3s-by-hand-starttls-fetch"), 1):
            fetch = site.apply(recipe(name).text)
            done = user.run(fetch, None, harness.WAIT * 3)
            check(harness.normalise(done.stdout) == harness.normalise(messages["1001.first"]),
                  f"the README's curl line {name} fetched {done.stdout!r}")
            harness.wait_until(lambda: sum(lines[-1].endswith("mails deleted in update phase; "
                                                              "session ends")
                                           for _, lines in log.sessions()) >= count,
                               "fernd's session")
            check([lines for _, lines in log.sessions()]
                  == [harness.session_lines(2, 0, user=user.name)] * count,
                  f"fernd's log by hand: {log.sessions()}")
        text = harness.read_text(output_path)
        check("Local mode child started" in text and "Configuration successful" in text,
              f"stunnel's log is not on standard error:\n{text}")
        check("Service [fernd-pop3-starttls] accepted connection" in text,
              f"the STARTTLS line did not go to the STARTTLS service:\n{text}")
    finally:
        harness.kill_group(process)


def with_systemd(docdir, manpath, workspace):
    """The systemd set-up, under a temporary root."""
    root = workspace.directory("root")
    # Debian's package stunnel4 makes /etc/stunnel; the stand-in for apt-get does not.
    os.makedirs(os.path.join(root, "etc", "stunnel"))
    stand_ins = workspace.directory("stand-ins")
    noted = workspace.path("noted")
    for name in ("apt-get", "systemctl"):
        path = os.path.join(stand_ins, name)
        with open(path, "w", encoding="utf-8") as program:
            program.write(f'#!/bin/sh\necho "{name} $*" >> "{noted}"\n')
        os.chmod(path, 0o755)
    script = recipe("pop3s-install").text
    # The man page's commands for the same set-up are among those that run here.
    commands = doc_recipes.commands(script)
    (page,) = [block for block in doc_recipes.man_page_blocks("POP3 over TLS")
               if "systemctl" in block]
    for command in doc_recipes.commands(page):
        check(command in commands, f"the man page's {command!r} is not in the README's set-up")
    script = harness.replace_exactly(script, "/usr/share/doc/fernd", docdir, 2)
    script = harness.replace_exactly(script, " /etc/", f" {root}/etc/", 3)
    done = subprocess.run(["/bin/bash", "-e", "-c", script], capture_output=True, text=True,
                          env=dict(os.environ, PATH=stand_ins + ":" + doc_recipes.LOGIN_PATH),
                          timeout=harness.WAIT, check=False)
    check(done.returncode == 0, f"the README's set-up failed:\n{done.stdout}{done.stderr}")
    with open(noted, encoding="utf-8") as lines:
        check(lines.read().splitlines() == ["apt-get install stunnel4",
                                            "systemctl daemon-reload",
                                            f"systemctl enable --now {INSTANCE}"],
              f"apt-get and systemctl were asked: {harness.read_text(noted)!r}")

    # Debian's template unit runs /etc/stunnel/%i.conf: for the instance that the README
    # enables, the file that it copied.
    template = "/usr/lib/systemd/system/stunnel@.service"
    check("/etc/stunnel/%i.conf" in harness.read_text(template),
          f"{template} does not run /etc/stunnel/%i.conf")
    instance = INSTANCE[len("stunnel@"):-len(".service")]
    for copied, installed in (
            (f"etc/stunnel/{instance}.conf", "stunnel/fernd-pop3s.conf"),
            (f"etc/systemd/system/{INSTANCE}.d/override.conf", "stunnel/override.conf")):
        with open(os.path.join(root, copied), "rb") as left, \
                open(os.path.join(docdir, installed), "rb") as right:
            check(left.read() == right.read(), f"{copied} is not the installed {installed}")

    # systemd reads the drop-in where the README put it.
    analyze = need_tool("systemd-analyze", "systemd")
    env = dict(os.environ, SYSTEMD_UNIT_PATH=os.path.join(root, "etc/systemd/system") + ":",
               MANPATH=manpath + ":")
    result = run([analyze, "verify", INSTANCE], env=env)
    check(result.returncode == 0 and not result.stdout and not result.stderr,
          f"systemd-analyze verify {INSTANCE}: {result.stdout}{result.stderr}")


def main():
    args = parse_args()
    need_tool("stunnel4", "stunnel4")
    need_tool("openssl", "openssl")
    need_tool("curl", "curl")
    doc_recipes.need_nss_wrapper()
    workspace = harness.Workspace()
    try:
        by_hand(workspace, "source-user", source=(args.source_dir, args.binary))
        with tempfile.TemporaryDirectory(prefix="fernd-pop3s-readme-") as tmp:
            os.chmod(tmp, 0o755)  # the install is for the user who tries it by hand too
            prefix = os.path.join(tmp, "usr")
            cmake_install(args.build_dir, prefix=prefix)
            docdir = os.path.join(prefix, "share/doc/fernd")
            by_hand(workspace, "installed-user", docdir=docdir)
            with_systemd(docdir, os.path.join(prefix, "share/man"), workspace)
    finally:
        workspace.cleanup()


if __name__ == "__main__":
    main()
