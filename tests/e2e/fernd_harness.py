"""Shared helpers for the end-to-end groups that run the real fernd binary: temporary Maildirs,
the server in standalone mode, behind an inetd-style socket activator or behind stunnel (POP3 over
TLS), test certificates, the session log, and bounded waits. Python 3 standard library only.
"""

import argparse
import fcntl
import os
import re
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

# The bound of every wait in these tests. No step needs more than a fraction of it, also in
# the sanitizer build; it only keeps a fault from hanging the run.
WAIT = 20.0

# The one account every group uses unless it needs several.
USER = "alice"
PASSWORD = "s3cret pass"  # a blank inside: credentials are taken literally

LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d fernd\[(\d+)\] (info|error): (.*)$")

# The source tree, for the files that the project ships (dist/).
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The uid and gid that an unprivileged process runs as when the tests run as root.
NOBODY_UID = 65534
NOBODY_GID = 65534


def parse_arguments(description):
    """Reads --fernd PATH; the remaining arguments go to unittest (e.g. a TestCase name)."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--fernd", required=True, help="the fernd binary")
    options, rest = parser.parse_known_args()
    return options.fernd, [sys.argv[0]] + rest


def wait_until(predicate, what, seconds=WAIT, step=0.01):
    """Polls predicate until it returns a true value, which it returns; fails after seconds."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {seconds} s waiting for {what}")
        time.sleep(step)


def address_family(host):
    """AF_INET6 for an IPv6 address text, AF_INET for an IPv4 one."""
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def free_port(host="127.0.0.1"):
    """A port of host that was free a moment ago; starters retry when it has been taken
    meanwhile."""
    with socket.socket(address_family(host), socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def ipv6_loopback_available():
    """True when this machine has the IPv6 loopback address ::1."""
    try:
        free_port("::1")
        return True
    except OSError:
        return False


def running_as_root():
    return os.geteuid() == 0


def unprivileged_prefix():
    """The command prefix that runs a program as an unprivileged user: setpriv to nobody when
    the tests run as root, nothing otherwise (then the tests already are unprivileged)."""
    if not running_as_root():
        return []
    return ["setpriv", f"--reuid={NOBODY_UID}", f"--regid={NOBODY_GID}", "--clear-groups"]


def give_to_unprivileged(path):
    """Makes a tree owned by the unprivileged user of unprivileged_prefix()."""
    if not running_as_root():
        return
    for directory, subdirectories, files in os.walk(path):
        os.chown(directory, NOBODY_UID, NOBODY_GID)
        for name in subdirectories + files:
            os.lchown(os.path.join(directory, name), NOBODY_UID, NOBODY_GID)


def copy_for_unprivileged(source, directory):
    """A copy of the file source (a program, a script) in directory, which the test made and
    gives to the unprivileged user; returns its path. The source tree and the build tree may
    lie where that user cannot reach them (a clone in root's home, mode 0700, or in a mktemp -d
    directory), so a process run as that user gets its own copy."""
    os.makedirs(directory, exist_ok=True)
    target = os.path.join(directory, os.path.basename(source))
    shutil.copyfile(source, target)
    os.chmod(target, 0o755)
    return target


# Messages ------------------------------------------------------------------------------------


def headers(name):
    return (f"From: sender-{name}@example.org\n"
            f"To: {USER}@example.org\n"
            f"Subject: message {name}\n"
            f"Message-ID: <{name}@fernd.test>\n"
            f"Date: Thu, 10 Dec 2026 01:02:03 +0000\n"
            "\n").encode("ascii")


def large_body(size):
    """About size bytes of 76-character lines, some of which begin with dots."""
    lines = []
    total = 0
    number = 0
    while total < size:
        line = f"line {number:08d} " + "abcdefghijklmnopqrstuvwxyz0123456789" * 2
        if number % 97 == 0:
            line = "." + line[1:]
        if number % 389 == 0:
            line = ".."
        lines.append(line.encode("ascii") + b"\n")
        total += len(lines[-1])
        number += 1
    return b"".join(lines)


def standard_messages(large_size=3 << 20):
    """The messages every client group fetches, keyed by file name (the UIDL): a line that
    begins with ".", a message of bare LFs, one of CR LFs, one whose last line has no LF, and
    one of a few MB. Each begins with a header block so that mail clients take it as mail."""
    messages = {
        "1001.dots": headers("dots") + b"Dots at line starts:\n.\n..\n.hidden\n...three\nend\n",
        "1002.barelf": headers("barelf") + b"bare\nline\nfeeds\n",
        "1003.crlf": headers("crlf").replace(b"\n", b"\r\n") + b"carriage\r\nreturns\r\n",
        "1004.nolf": headers("nolf") + b"the last line\nhas no line feed",
        "1005.large": headers("large") + large_body(large_size),
    }
    return messages


def normalise(content):
    """A message as it reads after POP3 transfer and delivery, line ends normalised: CR LF
    becomes LF and a last line without LF gets one (the server ends every message with a line
    end)."""
    content = content.replace(b"\r\n", b"\n")
    if content and not content.endswith(b"\n"):
        content += b"\n"
    return content


def wire_form(content):
    """The bytes of a RETR reply's body for a message file: every line ended by CR LF (a CR
    before each LF that lacks one, a CR LF after a last line without LF), a "." doubled at the
    start of a line; the terminating ".\r\n" not included."""
    lines = content.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    out = []
    for line in lines:
        if line.endswith(b"\r"):
            line = line[:-1]
        if line.startswith(b"."):
            line = b"." + line
        out.append(line + b"\r\n")
    return b"".join(out)


def split_message(content):
    """(header lines, body) of a normalised message."""
    head, separator, body = content.partition(b"\n\n")
    if not separator:
        return head.split(b"\n"), b""
    return head.split(b"\n"), body


# Maildirs ------------------------------------------------------------------------------------


class Workspace:
    """A fresh temporary directory for one test; removed by cleanup()."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="fernd-e2e-")
        os.chmod(self.root, 0o755)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def directory(self, *parts):
        path = self.path(*parts)
        os.makedirs(path, exist_ok=True)
        return path

    def maildir(self, name, messages=None):
        return Maildir(self.path(name), messages)

    def cleanup(self):
        for directory, subdirectories, _ in os.walk(self.root):
            for name in subdirectories:
                try:
                    os.chmod(os.path.join(directory, name), 0o755)
                except OSError:
                    pass
        shutil.rmtree(self.root, ignore_errors=True)


class Maildir:
    """A Maildir with new, cur and tmp; messages are regular files in new."""

    def __init__(self, path, messages=None):
        self.path = path
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(path, sub), exist_ok=True)
        self.mtime = 1700000000  # distinct, increasing times keep the numbering predictable
        for name, content in (messages or {}).items():
            self.add(name, content)

    def file(self, name):
        return os.path.join(self.path, "new", name)

    def add(self, name, content, mtime=None):
        path = self.file(name)
        with open(path, "wb") as message:
            message.write(content)
        if mtime is None:
            self.mtime += 10
            mtime = self.mtime
        os.utime(path, (mtime, mtime))
        return path

    def deliver(self, name, content, mtime=None):
        """Delivers a message the Maildir way, as while a server may be reading the Maildir:
        written in tmp/ (with the modification time mtime, when given), then renamed into
        new/."""
        staged = os.path.join(self.path, "tmp", name)
        with open(staged, "wb") as message:
            message.write(content)
        if mtime is not None:
            os.utime(staged, (mtime, mtime))
        os.rename(staged, self.file(name))

    def names(self):
        """The regular files in new, sorted by name."""
        directory = os.path.join(self.path, "new")
        names = []
        for name in os.listdir(directory):
            try:
                if stat.S_ISREG(os.stat(os.path.join(directory, name)).st_mode):
                    names.append(name)
            except FileNotFoundError:
                pass  # unlinked since the listing, as a running session may do
        return sorted(names)

    def read(self, name):
        with open(self.file(name), "rb") as message:
            return message.read()

    def contents(self):
        return {name: self.read(name) for name in self.names()}


# TLS ---------------------------------------------------------------------------------------


class Certificate:
    """A self-signed certificate for the names localhost and 127.0.0.1, with its key, made with
    `openssl req` in directory: cert.pem and key.pem. It is its own CA: a client that trusts
    this file trusts the server."""

    def __init__(self, directory):
        os.makedirs(directory, exist_ok=True)
        self.cert = os.path.join(directory, "cert.pem")
        self.key = os.path.join(directory, "key.pem")
        done = subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=localhost",
             "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
             "-keyout", self.key, "-out", self.cert],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT, check=False)
        if done.returncode != 0:
            raise AssertionError(f"openssl req failed: {done.stderr!r}")


def replace_exactly(text, old, new, count=1):
    """text with old replaced by new; old must stand in it exactly count times."""
    found = text.count(old)
    if found != count:
        raise AssertionError(f"{old!r} stands {found} times in the text, expected {count}")
    return text.replace(old, new)


# The session log -----------------------------------------------------------------------------


class LogFile:
    """The file that fernd's --log option names."""

    def __init__(self, path):
        self.path = path

    def entries(self):
        """Every line as (pid, level, text); a line in any other shape fails the test."""
        entries = []
        for line in read_text(self.path).splitlines():
            match = LOG_LINE.match(line)
            if not match:
                raise AssertionError(f"malformed log line {line!r}")
            entries.append((int(match.group(1)), match.group(2), match.group(3)))
        return entries

    def sessions(self):
        """The lines of each session as (pid, ["level: text", ...]), in the order the sessions
        began. A session begins with its "connection from" line (standalone mode) or with
        "starting POP3 session" (inetd mode), so that a reused process id starts a new one."""
        sessions = []
        current = {}  # pid -> the line list of its latest session
        for pid, level, text in self.entries():
            lines = current.get(pid)
            begins = (text.startswith("connection from ")
                      or (text == "starting POP3 session"
                          and not (lines and lines[-1].startswith("info: connection from "))))
            if lines is None or begins:
                lines = current[pid] = []
                sessions.append((pid, lines))
            lines.append(f"{level}: {text}")
        return sessions

    def session_of(self, pid):
        """The lines of the latest session of process pid."""
        found = [lines for owner, lines in self.sessions() if owner == pid]
        return found[-1] if found else []

    def closed_session_of(self, pid):
        """The lines of the latest session of process pid, once it has closed its connection
        (standalone mode)."""
        wait_until(lambda: "info: connection closed" in self.session_of(pid),
                   f"session {pid} to close")
        return self.session_of(pid)

    def pid_of_client(self, client_port):
        """The process id of the session that logged the connection from client_port
        (standalone mode), once it has."""
        connection = re.compile(rf"connection from \S+ port {client_port}, ")

        def find():
            for pid, level, text in self.entries():
                if level == "info" and connection.match(text):
                    return pid
            return None
        return wait_until(find, f"the connection line for client port {client_port}")

    def count(self, text):
        return sum(1 for _, _, line in self.entries() if line == text)

    def wait_for(self, text, count=1):
        """Waits until text stands on at least count lines."""
        wait_until(lambda: self.count(text) >= count, f"{count} log line(s) {text!r}")


def session_lines(in_mailbox, deleted, user=USER):
    """The lines that one whole session logs from its start to the end of its update phase: a
    login of user to a mailbox of in_mailbox messages, of which it deletes that many."""
    return ["info: starting POP3 session",
            "info: client started authorization",
            f"info: user {user} authorized and mailbox locked",
            f"info: starting transaction phase with {in_mailbox} mails in mailbox",
            "info: client ended transaction phase",
            f"info: {deleted} mails deleted in update phase; session ends"]


# Syslog --------------------------------------------------------------------------------------

SYSLOG_RECORD = re.compile(rb"^(<\d+>)\w{3} [ \d]\d \d\d:\d\d:\d\d fernd\[(\d+)\]: (.*)$",
                           re.DOTALL)


class SyslogCollector:
    """A private mount namespace in which /dev/log is a datagram socket of the test's: what a
    program run with prefix sends to syslog arrives here (CI has no syslog daemon). Skips the
    test where no such namespace can be made (no root, a container without the right to mount,
    a kernel without namespaces)."""

    def __init__(self, test, workspace):
        if not running_as_root() or shutil.which("unshare") is None:
            test.skipTest("needs root for a private mount namespace")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        test.addCleanup(self.socket.close)
        path = workspace.path(f"devlog-{id(self)}")
        self.socket.bind(path)
        os.chmod(path, 0o666)
        self.socket.settimeout(WAIT)
        # A /dev of the namespace's own holds null and the collector's socket as log. Mounts made
        # below a slave mount stay in the namespace. "unshare --propagation private" would make
        # every mount private in one step, but it fails where / is no mount point (a chroot);
        # there /dev alone is made a slave.
        setup = ("{ mount --make-rslave / 2>/dev/null || mount --make-rslave /dev; } && "
                 "mount -t tmpfs -o mode=0755 tmpfs /dev && mknod -m 666 /dev/null c 1 3 && "
                 f"touch /dev/log && mount --bind '{path}' /dev/log && exec \"$@\"")
        self.prefix = ["unshare", "--mount", "--propagation", "unchanged", "sh", "-c", setup, "sh"]
        # The same set-up around a command that does nothing tells whether it can be made here,
        # so that a failure later is always fernd's.
        probe = subprocess.run(self.prefix + ["true"], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=WAIT, check=False)
        if probe.returncode != 0:
            test.skipTest("no private mount namespace with a /dev of its own here: "
                          + (probe.stderr.strip() or f"exit status {probe.returncode}"))

    def records_until(self, last, limit=100):
        """The records received, as (priority, pid, text), up to the first whose text is last;
        each record must have syslog's form, "<priority>time fernd[pid]: text"."""
        records = []
        while len(records) < limit:
            match = SYSLOG_RECORD.match(self.socket.recv(65536))
            if not match:
                raise AssertionError(f"malformed syslog record after {records!r}")
            records.append((match.group(1), int(match.group(2)),
                            match.group(3).decode("utf-8", "replace")))
            if records[-1][2] == last:
                return records
        raise AssertionError(f"no syslog record {last!r} among {records!r}")


# Processes -----------------------------------------------------------------------------------


def children_of(pid):
    """Process ids of the children of pid (any thread), zombies included."""
    children = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children", encoding="ascii") as listing:
                children.extend(int(child) for child in listing.read().split())
    except OSError:
        return []
    return children


def process_tree(pid):
    """pid and every process that descends from it."""
    tree = [pid]
    for member in tree:
        tree.extend(children_of(member))
    return tree


def process_state(pid):
    """The one-letter state of a process (R, S, Z, ...), or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as status:
            return status.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def process_status(pid):
    """The fields of /proc/pid/status as {name: value}; OSError when the process is gone."""
    with open(f"/proc/{pid}/status", encoding="ascii", errors="replace") as status:
        return dict((name, value.strip()) for name, _, value in
                    (line.partition(":") for line in status))


def process_uid(pid):
    """The real user id of a process."""
    return int(process_status(pid)["Uid"].split()[0])


def signal_masks(pid):
    """The blocked, ignored and caught signal sets of a process (SigBlk, SigIgn, SigCgt), as
    sets of signal numbers."""
    fields = process_status(pid)
    masks = {}
    for name in ("SigBlk", "SigIgn", "SigCgt"):
        bits = int(fields[name], 16)
        masks[name] = {number for number in range(1, 65) if bits & (1 << (number - 1))}
    return masks


# System call numbers, for waiting until a process blocks in one; a call that is missing here
# is unknown on this machine's architecture.
SYSTEM_CALLS = {
    "x86_64": {"read": 0, "write": 1, "open": 2, "poll": 7, "select": 23, "pause": 34, "nanosleep": 35,
               "wait4": 61, "rt_sigtimedwait": 128, "rt_sigsuspend": 130,
               "clock_nanosleep": 230, "epoll_wait": 232, "waitid": 247, "pselect6": 270,
               "openat": 257, "ppoll": 271, "epoll_pwait": 281, "epoll_pwait2": 441},
    "aarch64": {"openat": 56, "read": 63, "write": 64, "epoll_pwait": 22, "pselect6": 72, "ppoll": 73,
                "waitid": 95, "nanosleep": 101, "clock_nanosleep": 115, "rt_sigsuspend": 133,
                "rt_sigtimedwait": 137, "wait4": 260, "epoll_pwait2": 441},
}.get(os.uname().machine, {})

# The system calls in which a process waits for time to pass or for a signal.
WAITING_CALLS = ("nanosleep", "clock_nanosleep", "pause", "rt_sigsuspend", "rt_sigtimedwait",
                 "poll", "ppoll", "select", "pselect6", "epoll_wait", "epoll_pwait",
                 "epoll_pwait2", "wait4", "waitid")


def in_system_call(pid, *names):
    """True when process pid is blocked in one of the named system calls ("read", "write",
    ...); where none of their numbers is known here, when the process sleeps."""
    numbers = {str(SYSTEM_CALLS[name]) for name in names if name in SYSTEM_CALLS}
    if not numbers:
        return process_state(pid) == "S"
    try:
        with open(f"/proc/{pid}/syscall", encoding="ascii") as syscall:
            return syscall.read().split()[0] in numbers
    except (OSError, IndexError):
        return False


def stop_process(pid):
    """Stops a process with SIGSTOP, as job control or a debugger would, and waits until it is
    stopped."""
    os.kill(pid, signal.SIGSTOP)
    wait_until(lambda: process_state(pid) == "T", f"process {pid} to stop")


def continue_process(pid):
    """Continues a stopped process with SIGCONT and waits until it runs again (or has ended)."""
    os.kill(pid, signal.SIGCONT)
    wait_until(lambda: process_state(pid) != "T", f"process {pid} to continue")


def stop_and_continue(pid):
    """Stops a process and continues it."""
    stop_process(pid)
    continue_process(pid)


# The kernel's TCP sockets --------------------------------------------------------------------


def send_buffer_max():
    """The most a TCP socket may buffer for sending (the third value of tcp_wmem)."""
    try:
        with open("/proc/sys/net/ipv4/tcp_wmem", encoding="ascii") as limits:
            return int(limits.read().split()[2])
    except (OSError, IndexError, ValueError):
        return 4 << 20


def tcp_sockets():
    """The kernel's TCP sockets, IPv4 and IPv6, as (local port, remote port, state, inode); the
    state as the kernel writes it ("0A" listening, "01" established, ...), the inode "0" for a
    connection that no process has accepted yet."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table, encoding="ascii") as sockets:
                rows = sockets.readlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            yield (int(fields[1].rsplit(":", 1)[1], 16), int(fields[2].rsplit(":", 1)[1], 16),
                   fields[3], fields[9])


def socket_inodes(pid):
    """The inodes of the sockets that process pid holds."""
    inodes = set()
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        pass
    return inodes


def listening_on(pid, port):
    """True when a socket that process pid holds listens on the TCP port (IPv4 or IPv6)."""
    inodes = socket_inodes(pid)
    return any(local == port and state == "0A" and inode in inodes
               for local, _, state, inode in tcp_sockets())


def tcp_connection(local_port, remote_port):
    """The kernel's view of the end of a TCP connection at local_port whose peer is at
    remote_port: None when there is none, else (state, socket inode)."""
    for local, remote, state, inode in tcp_sockets():
        if local == local_port and remote == remote_port:
            return state, inode
    return None


# Servers -------------------------------------------------------------------------------------


def listener_of(process, port):
    """The process that holds a socket listening on port: process (a Popen) itself, or one that
    it started (when a prefix such as strace runs the server as a child); None while there is
    none."""
    tree = process_tree(process.pid)
    for pid in tree:
        if listening_on(pid, port):
            return pid
    # fernd makes itself not dumpable, which hides its descriptors from a test that does not run
    # as root: then the last process of the tree whose descriptors are hidden, once a socket
    # listens on the port.
    hidden = [pid for pid in tree if not os.access(f"/proc/{pid}/fd", os.R_OK | os.X_OK)]
    if hidden and any(local == port and state == "0A" for local, _, state, _ in tcp_sockets()):
        return hidden[-1]
    return None


def kill_group(process):
    """Ends a process that leads a process group of its own (a Popen started with
    start_new_session), and everything left in its group, and reaps it."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait(timeout=WAIT)


def read_text(path):
    """The text of a file, "" when there is none."""
    try:
        with open(path, encoding="utf-8", errors="replace") as text:
            return text.read()
    except FileNotFoundError:
        return ""


def start_on_free_port(command_for_port, output_path, env=None, host="127.0.0.1", output=None,
                       cwd=None, more_ports=list):
    """Starts command_for_port(port) for a port of host that is free, in a process group of its
    own, with its standard output and error in the file output_path; returns (Popen, port) once
    a process of it listens on the port, and on each of the ports that more_ports() gives once
    the command is made (those that command_for_port chose besides). When another program took
    a port meanwhile, the server reports that it cannot bind and ends, and other ports are
    tried. output: what tells (the output file's text by default). cwd: the working directory
    of the command."""
    if output is None:
        def output():
            return read_text(output_path)
    for _ in range(20):
        port = free_port(host)
        command = command_for_port(port)
        ports = [port] + list(more_ports())
        with open(output_path, "wb") as stream:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stream,
                                       stderr=stream, env=env, cwd=cwd,
                                       start_new_session=True)
        wait_until(lambda: all(listener_of(process, each) is not None for each in ports)
                   or process.poll() is not None, f"{command[0]} to listen")
        if process.poll() is None:
            return process, port
        status = process.wait()
        text = output()
        if "bind" in text or "Address already in use" in text:
            continue  # another program took the port meanwhile
        raise AssertionError(f"{command[0]} ended with {status}: {text!r}")
    raise AssertionError("no free port found")


class Account:
    """One --auth/--maildir pair."""

    def __init__(self, user, password, maildir):
        self.user = user
        self.password = password
        self.maildir = maildir

    def arguments(self):
        # The password reaches fernd through a passwordeval command; printf keeps it literal.
        quoted = self.password.replace("'", "'\\''")
        return [f"--auth={self.user},printf '%s\\n' '{quoted}'", f"--maildir={self.maildir.path}"]


class Server:
    """fernd on a free loopback port, in standalone mode, behind an inetd-style socket activator
    or behind stunnel, in a process group of its own.

    mode: "standalone"; "inetd-systemd" (systemd-socket-activate --inetd); "inetd-socat"
    (socat TCP-LISTEN,fork with EXEC); "stunnel": POP3 over TLS with the stunnel configuration
    that the project ships (dist/stunnel), which starts one fernd --inetd per connection, with
    implicit TLS on port and STARTTLS on starttls_port; it needs a certificate and one account,
    and adds extra to fernd's arguments there. prefix: a command that runs fernd (e.g.
    setpriv); in stunnel mode it runs stunnel, and fernd with it. In standalone mode, interface
    is the address that fernd listens on (::1 for IPv6), and port_offset a number added to the
    port on fernd's command line (fernd takes the low 16 bits of a larger one)."""

    def __init__(self, binary, accounts, workspace, mode="standalone", log=None, prefix=(),
                 extra=(), certificate=None, interface="127.0.0.1", port_offset=0):
        if mode != "standalone" and (interface != "127.0.0.1" or port_offset):
            raise ValueError("an interface and a port offset are for standalone mode")
        self.binary = binary
        self.accounts = accounts
        self.workspace = workspace
        self.mode = mode
        self.log_path = log if log is not None else workspace.path("fernd.log")
        self.log = LogFile(self.log_path)
        self.prefix = list(prefix)
        self.extra = list(extra)
        self.certificate = certificate
        self.interface = interface
        self.port_offset = port_offset
        self.port = 0
        self.starttls_port = 0  # stunnel mode: the port of the STARTTLS service
        self.process = None
        self.output_path = workspace.path(f"server-output-{id(self)}")
        self.stunnel_dir = workspace.path(f"stunnel-{id(self)}")
        # Where systemd would make the unit's credentials directory, and stunnel's working
        # directory (WorkingDirectory=%d of the drop-in).
        self.credentials = os.path.join(self.stunnel_dir, "credentials")
        self.env = None

    def fernd_command(self):
        command = self.prefix + [self.binary]
        if self.mode != "standalone":
            command.append("--inetd")
        if self.log_path:
            command.append(f"--log={self.log_path}")
        for account in self.accounts:
            command += account.arguments()
        return command + self.extra

    def command(self):
        if self.mode == "standalone":
            return self.fernd_command() + [f"--port={self.port + self.port_offset}",
                                           f"--interface={self.interface}"]
        if self.mode == "inetd-systemd":
            return (["systemd-socket-activate", "--accept", "--inetd", "-l",
                     f"127.0.0.1:{self.port}", "--"] + self.fernd_command())
        if self.mode == "inetd-socat":
            # socat splits EXEC's text at blanks and commas; a script holds the command.
            script = self.workspace.path(f"run-fernd-{id(self)}.sh")
            with open(script, "w", encoding="utf-8") as text:
                quoted = " ".join("'" + part.replace("'", "'\\''") + "'"
                                  for part in self.fernd_command())
                text.write(f"#!/bin/sh\nexec {quoted}\n")
            os.chmod(script, 0o755)
            return ["socat", f"TCP-LISTEN:{self.port},bind=127.0.0.1,reuseaddr,fork",
                    f"EXEC:{script},nofork"]
        if self.mode == "stunnel":
            return self.prefix + ["stunnel4", self.stunnel_config()]
        raise ValueError(self.mode)

    def stunnel_config(self):
        """Writes the shipped stunnel configuration with this server's port, files and account
        in place of the example ones, and the credentials directory that systemd would make
        for the unit; returns the configuration's path. Everything but the site-specific
        values is used as shipped. Run as root, stunnel starts as root, as the unit starts it,
        reads the key from a directory that only root can read and drops to the unprivileged
        user of unprivileged_prefix() in place of mail; otherwise it cannot change its user,
        and the configuration runs without setuid/setgid, as the README's by-hand try does."""
        if self.certificate is None or len(self.accounts) != 1:
            raise ValueError("stunnel mode needs a certificate and exactly one account")
        account = self.accounts[0]
        credentials = self.credentials
        os.makedirs(credentials, mode=0o700, exist_ok=True)
        os.chmod(credentials, 0o700)
        shutil.copy(self.certificate.cert, os.path.join(credentials, "cert.pem"))
        shutil.copy(self.certificate.key, os.path.join(credentials, "key.pem"))
        os.chmod(os.path.join(credentials, "key.pem"), 0o600)
        # The password is fernd's to read, as the user stunnel drops to: /etc/fernd/password,
        # mode 0640, owner root and that user's group.
        password_path = os.path.join(self.stunnel_dir, "etc", "password")
        os.makedirs(os.path.dirname(password_path), exist_ok=True)
        with open(password_path, "w", encoding="utf-8") as password:
            password.write(account.password + "\n")
        os.chmod(password_path, 0o640)
        if running_as_root():
            os.chown(password_path, 0, NOBODY_GID)
        # stunnel starts fernd as the unprivileged user when the tests run as root: a copy of
        # the binary in a directory of its own, which that user can reach wherever the build is.
        binary = copy_for_unprivileged(self.binary, os.path.join(self.stunnel_dir, "bin"))
        with open(os.path.join(SOURCE_DIR, "dist", "stunnel", "fernd-pop3s.conf.in"),
                  encoding="utf-8") as template:
            text = template.read()
        if running_as_root():
            user = (("setuid = mail\n", f"setuid = {NOBODY_UID}\n", 1),
                    ("setgid = mail\n", f"setgid = {NOBODY_GID}\n", 1))
        else:
            user = (("setuid = mail\n", "", 1), ("setgid = mail\n", "", 1))
        # fernd's further options, such as --top, at the end of execArgs.
        maildir = " ".join([f"--maildir={account.maildir.path}"] + self.extra)
        for old, new, count in (
                ("accept = :::995\n", f"accept = 127.0.0.1:{self.port}\n", 1),
                ("accept = :::110\n", f"accept = 127.0.0.1:{self.starttls_port}\n", 1),
                ("@FERND_INSTALLED_BINARY@", binary, 1),
                ("--log=syslog", f"--log={self.log_path}", 1),
                ("--auth=pop,cat</etc/fernd/password",
                 f"--auth={account.user},cat<{password_path}", 1),
                ("--maildir=/var/mail/pop\n", maildir + "\n", 1)) + user:
            text = replace_exactly(text, old, new, count)
        path = os.path.join(self.stunnel_dir, "fernd-pop3s.conf")
        with open(path, "w", encoding="utf-8") as config:
            config.write(text)
        return path

    def start(self):
        def command_for_port(port):
            self.port = port
            if self.mode == "stunnel":
                # A second free port: the system may hand out the first again, which is not
                # bound yet.
                for _ in range(20):
                    self.starttls_port = free_port(self.interface)
                    if self.starttls_port != port:
                        break
            return self.command()

        def more_ports():
            return [self.starttls_port] if self.mode == "stunnel" else []
        self.process, self.port = start_on_free_port(
            command_for_port, self.output_path, self.env, self.interface, self.output,
            cwd=self.credentials if self.mode == "stunnel" else None, more_ports=more_ports)
        return self

    def run(self, port):
        """Runs fernd with this server's command line on port in the foreground to its end, as
        for a command line that it must refuse; returns (exit status, standard output, standard
        error)."""
        if self.mode != "standalone":
            raise ValueError("only standalone fernd runs in the foreground")
        self.port = port
        done = subprocess.run(self.command(), stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=WAIT, check=False)
        return done.returncode, done.stdout, done.stderr

    def listener_pid(self):
        """The process that holds the listening socket: the server itself, or one that it
        started (when a prefix such as strace runs it as a child)."""
        return listener_of(self.process, self.port)

    def connection(self, client_port):
        """The kernel's view of the server's end of the connection from client_port: None when
        there is none, else (state, socket inode). The inode stays "0" while the connection
        waits in the listen backlog: no process has a socket for it until accept()."""
        return tcp_connection(self.port, client_port)

    def finished_sessions(self):
        """The sessions that have ended, as (pid, lines), in the order they began. In standalone
        mode "connection closed" ends a session's lines; in the inetd modes, where there is no
        such line, the update phase's line ends those of a session that logged in."""
        if self.mode == "standalone":
            return [(pid, lines) for pid, lines in self.log.sessions()
                    if lines[-1] == "info: connection closed"]
        return [(pid, lines) for pid, lines in self.log.sessions()
                if lines[-1].endswith(" mails deleted in update phase; session ends")]

    def signal_group(self, number):
        """Sends a signal to the server's process group, as a shell's or a service manager's
        kill of the whole group would."""
        os.killpg(self.process.pid, number)

    def output(self):
        """What the server (and its activator) wrote to standard output and error: in stunnel
        mode stunnel's log, which the shipped configuration writes to standard error."""
        return read_text(self.output_path)

    def stunnel_log(self):
        return read_text(self.output_path)

    def children(self):
        return children_of(self.process.pid)

    def wait_sessions_reaped(self):
        """Waits until no session process of this server is left, zombies included."""
        wait_until(lambda: not self.children(), "every session process to be reaped")

    def stop(self):
        """Ends the server and whatever session processes are left in its group."""
        if self.process is None:
            return
        kill_group(self.process)
        self.process = None


def process_report(pid):
    """A line on a process for a failure message: its state, where it waits, its command."""
    try:
        with open(f"/proc/{pid}/wchan", encoding="ascii") as wchan:
            waiting = wchan.read()
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            command = cmdline.read().replace(b"\0", b" ").decode("utf-8", "replace")[:120]
    except OSError:
        return f"{pid}: gone"
    return f"{pid}: state {process_state(pid)}, waiting in {waiting or '-'}: {command}"


def run_client(command, server, timeout, **options):
    """Runs a client program to its end and returns its CompletedProcess. A client that does
    not end in time is killed, and the test fails with what the client wrote, the state of
    the server's processes and the session log, so that a hang can be told apart."""
    with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, start_new_session=True, **options) as client:
        try:
            stdout, stderr = client.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(client.pid, signal.SIGKILL)
            stdout, stderr = client.communicate()
            sessions = [process_report(pid) for pid in server.children()]
            log = "\n".join(f"{pid} {level}: {text}"
                            for pid, level, text in server.log.entries()[-40:])
            raise AssertionError(
                f"{command[0]} did not end within {timeout} s\n"
                f"its output: {(stdout + stderr)[-3000:]!r}\n"
                f"server: {process_report(server.process.pid)}\n"
                f"server children: {sessions}\nlog:\n{log}") from None
        return subprocess.CompletedProcess(command, client.returncode, stdout, stderr)


# The size of the pseudo-terminal that run_on_terminal gives a client: a common terminal window.
TERMINAL_LINES = 24
TERMINAL_COLUMNS = 80

# The terminal escape sequences that terminal_text takes out: control sequences, character set
# choices, keypad modes.
TERMINAL_ESCAPE = re.compile(rb"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b[()][0-9A-Za-z]|\x1b[=>78]")


def take_terminal():
    """In the child, before the program runs: the terminal on standard input becomes the
    controlling terminal of the new session, as a terminal window gives one to its shell."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def run_on_terminal(command, server, timeout, owner=None, answers=(), **options):
    """Runs a client program to its end on a pseudo-terminal of its own (TERMINAL_LINES by
    TERMINAL_COLUMNS), which is its standard input, output and error and the controlling terminal
    of its session, as a full-screen client runs in a terminal window. answers: (text, keys)
    pairs, in order: once the terminal shows text (after what the previous pair waited for),
    keys are typed; the last keys again every second while the client runs, since a client may
    drop what is typed while it is busy (mutt and neomutt do after an error). Nothing else is
    typed. owner: (uid, gid) that the terminal is given to, as a login
    gives it to the user. Returns the CompletedProcess with everything the terminal was sent as
    stdout (stderr empty). A client that does not end in time is killed, and the test fails with
    what the terminal showed and the state of the server's processes."""
    controller, terminal = os.openpty()
    try:
        fcntl.ioctl(terminal, termios.TIOCSWINSZ,
                    struct.pack("HHHH", TERMINAL_LINES, TERMINAL_COLUMNS, 0, 0))
        if owner is not None:
            os.fchown(terminal, *owner)
        client = subprocess.Popen(command, stdin=terminal, stdout=terminal, stderr=terminal,
                                  start_new_session=True, preexec_fn=take_terminal, **options)
    finally:
        os.close(terminal)
    shown = bytearray()
    waiting = list(answers)
    answered_up_to = 0  # where in the text the next answer's text is looked for
    last_keys = None  # typed again every second once every answer has been typed
    typed_at = 0.0
    deadline = time.monotonic() + timeout
    try:
        # The terminal is read until every process that holds it has closed it (EIO), so that
        # the client never waits for room on it.
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                os.killpg(client.pid, signal.SIGKILL)
                client.wait()
                raise AssertionError(
                    f"{command[0]} did not end within {timeout} s\n"
                    f"the terminal showed: {terminal_text(bytes(shown))[-3000:]!r}\n"
                    f"server: {process_report(server.process.pid)}\n"
                    f"server children: {[process_report(pid) for pid in server.children()]}")
            if last_keys is not None and time.monotonic() - typed_at >= 1.0:
                os.write(controller, last_keys)
                typed_at = time.monotonic()
            if select.select([controller], [], [], min(remaining, 1.0))[0]:
                try:
                    data = os.read(controller, 65536)
                except OSError:
                    data = b""
                if not data:
                    break
                shown += data
                text = terminal_text(bytes(shown))
                if waiting and waiting[0][0] in text[answered_up_to:]:
                    answered_up_to = text.index(waiting[0][0], answered_up_to) + 1
                    keys = waiting.pop(0)[1].encode("ascii")
                    os.write(controller, keys)
                    typed_at = time.monotonic()
                    if not waiting:
                        last_keys = keys
    finally:
        os.close(controller)
    status = client.wait(timeout=max(deadline - time.monotonic(), 1.0))
    return subprocess.CompletedProcess(command, status, bytes(shown), b"")


def terminal_text(shown):
    """What a terminal was sent, as text: escape sequences taken out, each carriage return made
    a line end, empty lines left out."""
    text = TERMINAL_ESCAPE.sub(b"", shown).decode("utf-8", "replace").replace("\r", "\n")
    return "\n".join(line for line in text.split("\n") if line.strip())


def run_fetchmail(workspace, server, options, server_options="", timeout=60):
    """One fetchmail poll of server (on 127.0.0.1) for the standard account, with the given user
    options and server options, delivering each message through an MDA into a file of its own.
    Returns (exit status, transcript, [delivered message bytes])."""
    out = workspace.directory("fetchmail-out")
    for name in os.listdir(out):
        os.unlink(os.path.join(out, name))
    home = workspace.directory("fetchmail-home")
    os.chmod(home, 0o700)
    mda = workspace.path("fetchmail-mda")
    with open(mda, "w", encoding="ascii") as script:
        script.write(f"#!/bin/sh\nexec cat > '{out}'/message.$$\n")
    os.chmod(mda, 0o755)
    rc = workspace.path("fetchmailrc")
    with open(rc, "w", encoding="ascii") as text:
        text.write("set no bouncemail\n"
                   "set no syslog\n"
                   # No Received header of fetchmail's own.
                   "set invisible\n"
                   f"poll 127.0.0.1 with proto POP3 port {server.port} {server_options}\n"
                   f"  user \"{USER}\" there with password \"{PASSWORD}\"\n"
                   f"  options {options}\n"
                   f"  mda \"{mda}\"\n")
    os.chmod(rc, 0o600)
    env = dict(os.environ, FETCHMAILHOME=home, HOME=home)
    # Run as root, fetchmail's lock file is /var/run/fetchmail.pid, shared with every other
    # fetchmail on the machine (such as the other test classes'): one of its own.
    pidfile = os.path.join(home, "fetchmail.pid")
    done = run_client(["fetchmail", "--fetchmailrc", rc, "--pidfile", pidfile, "--nodetach",
                       "--verbose"], server, timeout, env=env)
    transcript = (done.stdout + done.stderr).decode("utf-8", "replace")
    delivered = []
    for name in sorted(os.listdir(out)):
        with open(os.path.join(out, name), "rb") as message:
            delivered.append(message.read())
    return done.returncode, transcript, delivered


def curl_listings(directory):
    """What curl wrote of a LIST and a UIDL reply into the files "list" and "uidl" in directory:
    ({message number: UIDL}, {UIDL: size})."""
    with open(os.path.join(directory, "uidl"), encoding="ascii") as listing:
        uidls = {int(number): name for number, name in (line.split() for line in listing)}
    with open(os.path.join(directory, "list"), encoding="ascii") as listing:
        sizes = {uidls[int(number)]: int(size)
                 for number, size in (line.split() for line in listing)}
    return uidls, sizes


def connect(port, timeout=WAIT, receive_buffer=0, host="127.0.0.1", source=None):
    """A socket connected to the server on host (an IPv4 or IPv6 address); receive_buffer, when
    not 0, pins the client's receive buffer (and so the window the server sees) small; source,
    when given, is the client's own address (another loopback address, 127.0.0.2, say)."""
    client = socket.socket(address_family(host), socket.SOCK_STREAM)
    if receive_buffer:
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    if source is not None:
        client.bind((source, 0))
    client.settimeout(timeout)
    client.connect((host, port))
    return client


def as_bytes(text):
    return text.encode("ascii") if isinstance(text, str) else text


class LineClient:
    """A raw POP3 client: bytes in, lines out, for the exact checks that poplib hides."""

    def __init__(self, port, timeout=WAIT, receive_buffer=0, host="127.0.0.1", source=None):
        self.socket = connect(port, timeout, receive_buffer, host, source)
        self.reader = self.socket.makefile("rb")
        self.local_port = self.socket.getsockname()[1]  # as the server's log names the client

    def line(self):
        line = self.reader.readline(1 << 20)
        if not line:
            raise EOFError("connection closed by the server")
        return line

    def read(self, count):
        """The next count bytes; fewer when the server closes the connection first."""
        return self.reader.read(count)

    def read_to_end(self):
        """Everything up to the end of the connection."""
        return self.reader.read()

    def expect(self, data):
        """The next bytes must be data, to the byte."""
        received = self.read(len(data))
        if received != data:
            raise AssertionError(f"received {received!r}, expected {data!r}")

    def send(self, text):
        self.socket.sendall(as_bytes(text))

    def command(self, text):
        self.send(as_bytes(text) + b"\r\n")
        return self.line()

    def exchange(self, command, reply):
        """Sends command; the reply must be reply, to the byte (a multi-line one in full)."""
        self.send(as_bytes(command) + b"\r\n")
        self.expect(as_bytes(reply))

    def login(self, user=USER, password=PASSWORD):
        """USER and PASS; returns the reply to PASS."""
        reply = self.command(f"USER {user}")
        if reply != b"+OK\r\n":
            raise AssertionError(f"USER answered {reply!r}")
        return self.command(f"PASS {password}")

    def multiline(self):
        """The lines of a multi-line reply up to the final ".", dot-stuffing undone."""
        lines = []
        while True:
            line = self.line()
            if line == b".\r\n":
                return lines
            lines.append(line[1:] if line.startswith(b".") else line)

    def reset(self):
        """Vanishes as a crashed client's kernel does: with a reset, not an orderly close."""
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close()

    def close(self):
        try:
            self.reader.close()
            self.socket.close()
        except OSError:
            pass


class E2ETestCase(unittest.TestCase):
    """A test with a fresh workspace and servers that are stopped at its end."""

    binary = ""  # set by main()

    def setUp(self):
        self.workspace = Workspace()
        self.servers = []
        self.addCleanup(self.workspace.cleanup)
        self.addCleanup(self._stop_servers)

    def _stop_servers(self):
        for server in self.servers:
            server.stop()

    def server(self, accounts, **options):
        server = Server(self.binary, accounts, self.workspace, **options)
        self.servers.append(server)
        return server.start()

    def client(self, server, receive_buffer=0, greeted=True):
        """A LineClient of server, closed at the end of the test; when greeted, it has read the
        server's greeting, which must be the usual one."""
        client = LineClient(server.port, receive_buffer=receive_buffer, host=server.interface)
        self.addCleanup(client.close)
        if greeted:
            self.assertEqual(client.line(), b"+OK fernd ready.\r\n")
        return client

    def logged_in(self, server, receive_buffer=0):
        """A client of server, as client() makes it, that has logged in to the standard
        account."""
        client = self.client(server, receive_buffer)
        self.assertEqual(client.login(), b"+OK\r\n")
        return client

    def poplib_fetch(self, client, messages, delete, password=PASSWORD):
        """A whole session of the standard account through a connected poplib client: every
        message fetched, and deleted when told to. Each step is checked against messages
        ({file name: content}): the greeting, the capabilities, the sizes that STAT and LIST
        give, and the file names as UIDLs. Returns {message number: UIDL} and {UIDL: message as
        poplib returns it, lines joined by LF}."""
        self.assertEqual(client.getwelcome(), b"+OK fernd ready.")
        self.assertEqual(client.capa(), {"USER": [], "UIDL": []})
        client.user(USER)
        client.pass_(password)
        self.assertEqual(client.stat(), (len(messages), sum(map(len, messages.values()))))
        uidls = {}
        for line in client.uidl()[1]:
            number, name = line.decode("ascii").split()
            uidls[int(number)] = name
        sizes = dict(tuple(map(int, line.split())) for line in client.list()[1])
        delivered = {}
        for number, name in uidls.items():
            self.assertEqual(sizes[number], len(messages[name]), name)
            delivered[name] = b"".join(line + b"\n" for line in client.retr(number)[1])
            if delete:
                client.dele(number)
        self.assertEqual(client.quit(), b"+OK")
        return uidls, delivered


def main(description):
    binary, argv = parse_arguments(description)
    E2ETestCase.binary = os.path.abspath(binary)
    unittest.main(argv=argv, verbosity=2)
