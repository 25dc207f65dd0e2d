"""Dovecot as the POP3 proxy of docs/scaling.md, from the page's own text: its configuration and
its table of users with the site's values in place of the page's examples, run as a private
instance in a directory of its own (sockets, state, log), started in the foreground with its own
configuration file. The end-to-end test tests/e2e/proxy.py and the proxy row of bench/run both
use it. Python 3 standard library only.
"""

import os
import re
import shutil
import signal
import subprocess
import time

import doc_recipes
import fernd_harness as harness

# Where Debian's packages put Dovecot's programs: the master, its configuration reader and its
# admin tool (dovecot-core), and the POP3 login process that does the proxying
# (dovecot-pop3d).
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
POP3_LOGIN = "/usr/lib/dovecot/pop3-login"
PACKAGES = "dovecot-core dovecot-pop3d"

# The page's example values that a site changes.
DOC_CONFIG_PATH = "/etc/dovecot/dovecot.conf"
DOC_SHARDS_PATH = "/etc/dovecot/fernd-shards"
DOC_CERT = "/etc/letsencrypt/live/mail.example.org/fullchain.pem"
DOC_KEY = "/etc/letsencrypt/live/mail.example.org/privkey.pem"
DOC_BACKENDS = ("10.0.0.11", "10.0.0.12")
DOC_BACKEND_PORT = 1100
DOC_STLS_PORT = 110
DOC_POP3S_PORT = 995
# The two lines of "service pop3-login" that make a few login processes serve every connection;
# without them (the page says to put a # before each), Dovecot starts one per connection.
SHARED_LOGIN_LINES = ("  service_count = 0\n", "  process_min_avail = 2\n")


def program(name):
    """The path of one of Dovecot's programs, or None."""
    return shutil.which(name, path=SYSTEM_PATH)


def unavailable():
    """None when Dovecot's POP3 proxy can run here; otherwise why not."""
    missing = [name for name in ("dovecot", "doveconf", "doveadm") if program(name) is None]
    if not os.path.exists(POP3_LOGIN):
        missing.append(POP3_LOGIN)
    if missing:
        return (f"Dovecot is not installed ({', '.join(missing)} missing): the Debian "
                f"packages {PACKAGES}, in the test group of scripts/packages")
    if not harness.running_as_root():
        return ("Dovecot's master process must start as root, to run its login and auth "
                "processes as its own users dovenull and dovecot")
    return None


def version():
    """What `dovecot --version` prints, e.g. "2.3.19.1 (9b53102964)"."""
    return subprocess.run([program("dovecot"), "--version"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=harness.WAIT,
                          check=True).stdout.strip()


def site_config(text, directory, stls_port, pop3s_port, certificate=None, plain=False,
                login_per_connection=False):
    """The page's dovecot.conf with the values of a private instance on 127.0.0.1 in place of
    the page's: the ports, base_dir, state_dir and the log under directory, the table in
    directory, and the certificate (an object with cert and key paths). plain turns TLS off
    (ssl = no, no certificate), for a client that speaks plain POP3; login_per_connection puts
    a # before the two lines of "service pop3-login" that the page names. Each replaced text must stand in the page
    exactly as often as expected, so that a change of the page cannot slip past."""
    replace = harness.replace_exactly
    text = replace(text, "listen = *, ::\n", "listen = 127.0.0.1\n")
    text = replace(text, "base_dir = /run/dovecot\n",
                   f"base_dir = {os.path.join(directory, 'run')}\n")
    text = replace(text, "state_dir = /var/lib/dovecot\n",
                   f"state_dir = {os.path.join(directory, 'state')}\n")
    text = replace(text, "log_path = syslog\n", f"log_path = {log_path(directory)}\n")
    text = replace(text, f"    port = {DOC_STLS_PORT}\n", f"    port = {stls_port}\n")
    text = replace(text, f"    port = {DOC_POP3S_PORT}\n", f"    port = {pop3s_port}\n")
    text = replace(text, f"args = {DOC_SHARDS_PATH}\n",
                   f"args = {shards_path(directory)}\n")
    if plain:
        text = replace(text, "ssl = required\n", "ssl = no\n")
        text = replace(text, f"ssl_cert = <{DOC_CERT}\n", "")
        text = replace(text, f"ssl_key = <{DOC_KEY}\n", "")
    else:
        text = replace(text, f"ssl_cert = <{DOC_CERT}\n", f"ssl_cert = <{certificate.cert}\n")
        text = replace(text, f"ssl_key = <{DOC_KEY}\n", f"ssl_key = <{certificate.key}\n")
    if login_per_connection:
        for line in SHARED_LOGIN_LINES:
            text = replace(text, line, "  #" + line[2:])
    return text


def site_shards(text, backend_ports):
    """The page's table of users with each example backend (host and port) replaced by
    127.0.0.1 and the port of the backend that stands at the same place in backend_ports."""
    for host, port in zip(DOC_BACKENDS, backend_ports):
        text = harness.replace_exactly(text, f"host={host} port={DOC_BACKEND_PORT} ",
                                       f"host=127.0.0.1 port={port} ", count=2)
    return text


def site_command(text, directory):
    """A command of the page with the private instance's configuration file in place of
    /etc/dovecot/dovecot.conf."""
    return harness.replace_exactly(text, DOC_CONFIG_PATH, config_path(directory))


def config_path(directory):
    return os.path.join(directory, "dovecot.conf")


def shards_path(directory):
    return os.path.join(directory, "fernd-shards")


def log_path(directory):
    return os.path.join(directory, "dovecot.log")


def doc_table(backend_ports):
    """The page's table with its two backends at these ports of 127.0.0.1."""
    return site_shards(doc_recipes.recipe("proxy-shards").text, backend_ports)


def table_for(users, port):
    """A table in the page's form for other users, all on one backend at 127.0.0.1 port: for
    each user, the page's first line with the user's name and that backend."""
    first = next(line for line in doc_recipes.recipe("proxy-shards").text.splitlines()
                 if line and not line.startswith("#"))
    rest = harness.replace_exactly(first.split(":", 1)[1],
                                   f"host={DOC_BACKENDS[0]} port={DOC_BACKEND_PORT} ",
                                   f"host=127.0.0.1 port={port} ")
    return "".join(f"{user}:{rest}\n" for user in users)


def write_table(directory, text):
    """Writes the table of users; Dovecot reads it again at the next login after a change."""
    with open(shards_path(directory), "w", encoding="utf-8") as shards:
        shards.write(text)
    # The auth process reads it as the user dovecot.
    os.chmod(shards_path(directory), 0o644)


class Proxy:
    """A private Dovecot instance with the page's configuration in directory and the table
    text (see doc_table and table_for), listening on two free ports of 127.0.0.1 (for the
    page's 110 and 995), in a process group of its own. started: a list to which the process
    is appended as ("server", Popen), for a caller that ends everything it started
    (bench/run)."""

    def __init__(self, directory, table, certificate=None, plain=False,
                 login_per_connection=False, started=None):
        self.directory = directory
        self.certificate = certificate
        self.plain = plain
        self.login_per_connection = login_per_connection
        self.started = started
        self.process = None
        self.stls_port = self.pop3s_port = 0
        os.makedirs(directory, exist_ok=True)
        os.chmod(directory, 0o755)
        write_table(directory, table)
        self.output_path = os.path.join(directory, "output")

    def write_config(self):
        text = site_config(doc_recipes.recipe("proxy-dovecot-conf").text, self.directory,
                           self.stls_port, self.pop3s_port, self.certificate, self.plain,
                           self.login_per_connection)
        with open(config_path(self.directory), "w", encoding="utf-8") as config:
            config.write(text)

    def commands(self):
        """The page's check and start commands, for this instance's configuration file."""
        check, start = doc_recipes.commands(doc_recipes.recipe("proxy-check").text)
        return site_command(check, self.directory), site_command(start, self.directory)

    def start(self):
        """Checks the configuration with the page's doveconf command, then starts Dovecot with
        the page's foreground command; returns once it listens on its ports. Ports that another
        program took meanwhile are replaced by others."""
        for _ in range(20):
            self.stls_port = harness.free_port()
            self.pop3s_port = harness.free_port()
            if self.pop3s_port == self.stls_port:
                continue  # the system may hand out a port it just took back: one listener each
            self.write_config()
            check, start = self.commands()
            done = subprocess.run(["/bin/bash", "-c", check], stdin=subprocess.DEVNULL,
                                  capture_output=True, env=self.env(), timeout=harness.WAIT,
                                  check=False)
            if done.returncode != 0:
                raise AssertionError(f"{check} failed: {done.stderr!r}")
            with open(self.output_path, "wb") as output:
                self.process = subprocess.Popen(["/bin/bash", "-c", "exec " + start],
                                                stdin=subprocess.DEVNULL, stdout=output,
                                                stderr=output, env=self.env(),
                                                start_new_session=True)
            if self.started is not None:
                self.started.append(("server", self.process))
            ports = [self.stls_port] if self.plain else [self.stls_port, self.pop3s_port]
            harness.wait_until(lambda: self.process.poll() is not None or all(
                harness.listening_on(self.process.pid, port) for port in ports),
                "Dovecot to listen")
            if self.process.poll() is None:
                return self
            self.forget()
            text = self.output() + self.log()
            if "Address already in use" not in text:
                raise AssertionError(f"Dovecot ended with {self.process.returncode}: {text}")
        raise AssertionError("no free ports found for Dovecot")

    def env(self):
        return {"PATH": SYSTEM_PATH, "LANG": "C.UTF-8"}

    def run_command(self, command):
        """Runs one of the page's commands (its configuration path replaced) to its end;
        returns the completed process."""
        return subprocess.run(["/bin/bash", "-c", site_command(command, self.directory)],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              env=self.env(), timeout=harness.WAIT, check=False)

    def output(self):
        return harness.read_text(self.output_path)

    def log(self):
        return harness.read_text(log_path(self.directory))

    def log_lines(self, text):
        """The lines of Dovecot's log that hold text."""
        return [line for line in self.log().splitlines() if text in line]

    def forget(self):
        if self.started is not None and ("server", self.process) in self.started:
            self.started.remove(("server", self.process))

    def stop(self):
        """Ends Dovecot as Ctrl-C would (SIGINT to the master, which ends its processes), then
        whatever is left of its process group; bounded."""
        if self.process is None:
            return
        if self.process.poll() is None:
            try:
                os.kill(self.process.pid, signal.SIGINT)
                self.process.wait(timeout=harness.WAIT)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=harness.WAIT)
        self.forget()
        self.process = None


def wait_for_log(proxy, text, count=1):
    """Waits until count lines of Dovecot's log hold text; returns them."""
    return harness.wait_until(lambda: len(proxy.log_lines(text)) >= count and
                              proxy.log_lines(text), f"{count} line(s) {text!r} in Dovecot's log")

