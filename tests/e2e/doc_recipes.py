"""The recipes of the documentation, as the end-to-end tests run them.

docs/clients.md, docs/scaling.md and the README's "POP3 over TLS" and "Password guessing" sections
mark each code block that a user is told to paste with an HTML comment on the line before it, which
a rendered page does not show:

    <!-- recipe: NAME -->              commands, run with bash as printed
    <!-- recipe: NAME file=PATH -->    a file's text, written to PATH (~ is the user's home)
    <!-- by hand -->                   a block checked by hand, in a section that says when and
                                       with which version

A test asks for a block by its name, written out as a string: `recipe("NAME")`. In the text it replaces only
the values that the documents tell a user to change (Site below: the port, the host name, the
home directory, the CA file), writes it where the marker says or runs it as the user of a
RecipeUser, and checks what arrived. check_documents() fails when a block of those documents has
no marker, when a recipe's name is taken twice, or when no test asks for a recipe: a recipe that
nobody runs cannot stay in the documents, nor can a block that nobody marked.
"""

import glob
import os
import re
import shutil
import subprocess

import fernd_harness as harness

SOURCE_DIR = harness.SOURCE_DIR
CLIENTS = os.path.join(SOURCE_DIR, "docs", "clients.md")
SCALING = os.path.join(SOURCE_DIR, "docs", "scaling.md")
README = os.path.join(SOURCE_DIR, "README.md")
MAN_PAGE = os.path.join(SOURCE_DIR, "docs", "fernd.8")
# The parts of the README whose blocks are recipes, by their headings.
README_SECTIONS = ("## POP3 over TLS", "## Password guessing")

MARKER = re.compile(r"^<!-- (recipe: ([a-z0-9-]+)((?: [a-z]+=\S+)*)|by hand) -->$")
HEADING = re.compile(r"^#{1,6} ")
# Where the tests ask for recipes: the name written out as a string of a test script.
ASKED = re.compile(r"""["']([a-z0-9]+(?:-[a-z0-9]+)*)["']""")


class Block:
    """One code block of a document: its text (the block's lines without their indentation),
    the marker's name and settings, and where it stands."""

    def __init__(self, path, line, section, lines, name=None, settings=None, by_hand=False):
        self.path = path
        self.line = line
        self.section = section
        self.text = "\n".join(lines) + "\n"
        self.name = name
        self.settings = settings or {}
        self.by_hand = by_hand

    @property
    def file(self):
        """Where the text goes (a path that may begin with ~/), or None for commands."""
        return self.settings.get("file")

    def where(self):
        return f"{os.path.relpath(self.path, SOURCE_DIR)}:{self.line}"


def read_blocks(path, sections=None):
    """The code blocks of a Markdown file (indented by four blanks, or fenced with ```), each
    with the marker on the line before it, if any; only those under the headings of sections
    when given (each up to the next heading of the same level)."""
    with open(path, encoding="utf-8") as document:
        lines = document.read().split("\n")
    blocks = []
    current = None  # the heading the lines stand under
    inside = sections is None
    section = None  # the heading of sections that the lines stand under
    marker = None  # (line number, match) of a marker waiting for its block
    index = 0
    previous_blank = True
    while index < len(lines):
        line = lines[index]
        if HEADING.match(line):
            current = line
            if sections is not None:
                level = line.split(" ", 1)[0]
                if line in sections:
                    inside = True
                    section = line
                elif inside and len(level) <= len(section.split(" ", 1)[0]):
                    inside = False
            if marker:
                raise AssertionError(f"{path}:{marker[0]}: a marker with no block after it")
            index += 1
            previous_blank = True
            continue
        found = MARKER.match(line)
        if found:
            if marker:
                raise AssertionError(f"{path}:{marker[0]}: a marker with no block after it")
            marker = (index + 1, found)
            index += 1
            continue
        fenced = line.startswith("```")
        indented = line.startswith("    ") and previous_blank
        if fenced or indented:
            start = index
            body = []
            if fenced:
                index += 1
                while index < len(lines) and not lines[index].startswith("```"):
                    body.append(lines[index])
                    index += 1
                index += 1
            else:
                while index < len(lines) and (lines[index].startswith("    ")
                                              or not lines[index].strip()):
                    body.append(lines[index][4:])
                    index += 1
                while body and not body[-1].strip():
                    body.pop()
            if inside:
                name = settings = None
                by_hand = False
                if marker:
                    if marker[1].group(1) == "by hand":
                        by_hand = True
                    else:
                        name = marker[1].group(2)
                        settings = dict(item.split("=", 1)
                                        for item in marker[1].group(3).split())
                blocks.append(Block(path, start + 1, current, body, name, settings, by_hand))
            elif marker:
                raise AssertionError(f"{path}:{marker[0]}: a marker outside {sections}")
            marker = None
            previous_blank = True
            continue
        if marker and line.strip():
            raise AssertionError(f"{path}:{marker[0]}: the marker is not right before a block")
        previous_blank = not line.strip()
        index += 1
    if marker:
        raise AssertionError(f"{path}:{marker[0]}: a marker with no block after it")
    return blocks


def documents():
    """Every block of docs/clients.md, of docs/scaling.md and of the README's "POP3 over TLS" and
    "Password guessing" sections."""
    return read_blocks(CLIENTS) + read_blocks(SCALING) + read_blocks(README, README_SECTIONS)


def recipe(name):
    """The block marked `recipe: name`; fails when there is none."""
    found = [block for block in documents() if block.name == name]
    if len(found) != 1:
        raise AssertionError(f"{len(found)} blocks are marked 'recipe: {name}' in the documents")
    return found[0]


def asked_for(directory=os.path.dirname(os.path.abspath(__file__))):
    """The strings of the test scripts under directory that may be recipe names: a recipe
    whose name none of them writes out is one that no test runs."""
    names = set()
    for folder, _, files in os.walk(directory):
        for file_name in files:
            if file_name.endswith(".py") and file_name != os.path.basename(__file__):
                with open(os.path.join(folder, file_name), encoding="utf-8") as script:
                    names |= set(ASKED.findall(script.read()))
    return names


def check_documents():
    """Fails unless every block of the documents is marked, each recipe name stands once, every
    recipe is one that a test asks for, and every block checked by hand stands in a section that
    says when ("by hand on YYYY-MM-DD") and with which version."""
    problems = []
    blocks = documents()
    names = [block.name for block in blocks if block.name]
    asked = asked_for()
    for block in blocks:
        if not block.name and not block.by_hand:
            problems.append(f"{block.where()}: a block without a marker")
        elif block.name and names.count(block.name) > 1:
            problems.append(f"{block.where()}: the recipe name {block.name} stands twice")
        elif block.name and block.name not in asked:
            problems.append(f"{block.where()}: no test runs the recipe {block.name}")
    for block in blocks:
        if block.by_hand:
            text = section_text(block.path, block.section)
            if not re.search(r"by hand on \d{4}-\d\d-\d\d with [^.]*\d", text):
                problems.append(f"{block.where()}: a block checked by hand in a section that "
                                "does not say when and with which version")
    if problems:
        raise AssertionError("\n".join(problems))
    return blocks


def man_page_blocks(heading):
    """The literal displays (.Bd -literal to .Ed) of the man page's section or subsection whose
    .Sh or .Ss line names heading, up to the next .Sh or .Ss line, as a reader sees them: the
    roff escapes \\e (a backslash) and \\& (nothing) undone."""
    with open(MAN_PAGE, encoding="utf-8") as page:
        lines = page.read().split("\n")
    titles = [index for index, line in enumerate(lines) if line.startswith((".Sh ", ".Ss "))]
    start = next((index for index in titles if lines[index].split(" ", 1)[1] == heading), None)
    if start is None:
        raise AssertionError(f"docs/fernd.8 has no section {heading!r}")
    end = next((index for index in titles if index > start), len(lines))
    blocks = []
    current = None
    for line in lines[start + 1:end]:
        if line.startswith(".Bd -literal"):
            current = []
        elif line == ".Ed" and current is not None:
            blocks.append("\n".join(current) + "\n")
            current = None
        elif current is not None:
            current.append(line.replace("\\&", "").replace("\\e", "\\"))
    return blocks


def poplib_deleting(text):
    """A poplib script of docs/clients.md (text) changed to delete, as the page's Python section
    says: with what stands in backticks in "With the `...` before `pop.dele` taken away" taken
    away before pop.dele."""
    found = re.findall(r"With the `([^`]+)` before `pop\.dele` taken away",
                       section_text(CLIENTS, "## Python's poplib"))
    if len(found) != 1:
        raise AssertionError("docs/clients.md's Python section does not say once what to take "
                             "away before pop.dele")
    return harness.replace_exactly(text, found[0] + "pop.dele(int(number))",
                                   "pop.dele(int(number))")


def section_text(path, heading):
    """The text under a heading of a Markdown file, up to the next heading."""
    with open(path, encoding="utf-8") as document:
        lines = document.read().split("\n")
    start = lines.index(heading) + 1
    end = next((index for index in range(start, len(lines)) if HEADING.match(lines[index])),
               len(lines))
    return "\n".join(lines[start:end])


# The values a user changes -------------------------------------------------------------------


class Site:
    """The values that the documents tell a user to put in place of their examples: fernd's port
    (1100 in the examples), the POP3S port (995, and 1995 where the README tries it by hand),
    the STARTTLS port (110, and 1110 by hand), the host name in the server's certificate
    (mail.example.org), the CA certificate that a client is told to trust (ca.pem), and the
    user's home directory (/home/alice). The user name alice and the password secret are the
    test account's own."""

    def __init__(self, port=None, tls_port=None, home=None, ca=None, host="localhost",
                 starttls_port=None):
        self.port = port
        self.tls_port = tls_port
        self.starttls_port = starttls_port
        self.home = home
        self.ca = ca
        self.host = host

    def apply(self, text):
        if self.port is not None:
            text = re.sub(r"\b1100\b", str(self.port), text)
        if self.tls_port is not None:
            text = re.sub(r"\b(995|1995)\b", str(self.tls_port), text)
        if self.starttls_port is not None:
            text = re.sub(r"\b(110|1110)\b", str(self.starttls_port), text)
        if self.home is not None:
            text = text.replace("/home/alice", self.home)
        if self.ca is not None:
            text = re.sub(r"(?<![\w/.-])ca\.pem\b", self.ca, text)
        return text.replace("mail.example.org", self.host)


def commands(text):
    """The commands of a block, one per line, a line that ends with a backslash joined with the
    next, comment lines and blank lines left out."""
    found = []
    pending = ""
    for line in text.split("\n"):
        if pending:
            line = pending + "\n" + line
            pending = ""
        if line.endswith("\\"):
            pending = line
            continue
        if line.strip() and not line.lstrip().startswith("#"):
            found.append(line)
    if pending:
        found.append(pending)
    return found


# The user who follows the recipes ------------------------------------------------------------


# The PATH of a login shell on Debian: what a user who follows the recipes has, whatever the
# test runner's own PATH holds (a Python of its own, a directory that the user cannot reach).
LOGIN_PATH = "/usr/local/bin:/usr/bin:/bin"
# nss_wrapper (package libnss-wrapper) gives the user's programs a passwd file of the test's,
# in which the user's home is the test's home directory: fdm, for one, takes its home from the
# passwd entry, not from $HOME.
NSS_WRAPPER = "libnss_wrapper.so"


class RecipeUser:
    """A user with a fresh home directory in the workspace, as whom the recipes run: nobody when
    the tests run as root (as a user runs a mail client, and getmail refuses to deliver as
    root), the current user otherwise. Everything it needs lies in a directory that the test
    made for it. Its programs see the home directory in $HOME and in their passwd entry, the
    login PATH, no terminal, and the home directory as the working directory."""

    def __init__(self, workspace, name="user"):
        self.base = workspace.directory(name)
        self.home = os.path.join(self.base, "home")
        self.bin = os.path.join(self.base, "bin")  # programs the test puts before the PATH
        os.makedirs(self.home)
        os.makedirs(self.bin)
        self.uid = harness.NOBODY_UID if harness.running_as_root() else os.getuid()
        self.gid = harness.NOBODY_GID if harness.running_as_root() else os.getgid()
        self.passwd = os.path.join(self.base, "passwd")
        with open("/etc/passwd", encoding="utf-8") as system:
            entries = [line for line in system.read().splitlines()
                       if line.split(":")[2:3] != [str(self.uid)]]
        self.name = "alice-" + str(self.uid)
        entries.append(f"{self.name}:x:{self.uid}:{self.gid}:alice:{self.home}:/bin/bash")
        with open(self.passwd, "w", encoding="utf-8") as passwd:
            passwd.write("\n".join(entries) + "\n")
        os.chmod(self.passwd, 0o644)
        self.give(self.home)

    def give(self, path):
        """Makes path (a tree) the user's own."""
        if harness.running_as_root():
            harness.give_to_unprivileged(path)

    def path(self, name):
        """A path of the documents (~/..., or relative to the home directory) in the home."""
        if name.startswith("~/"):
            name = name[2:]
        return os.path.join(self.home, name)

    def write(self, block, site, text=None):
        """Writes a file block, with the site's values in it, where its marker says; text, when
        given, is the block's text as the test changed it as the documents say. Returns the
        path. Made as a user's editor makes it: mode 0644 (umask 022), in a directory that must
        exist already."""
        if not block.file:
            raise AssertionError(f"{block.where()}: the recipe {block.name} names no file")
        path = self.path(block.file)
        if not os.path.isdir(os.path.dirname(path)):
            # An editor cannot save a file there either: the documents must say to make it.
            raise AssertionError(f"{block.where()}: the recipe {block.name} goes to {block.file}, "
                                 "in a directory that nothing before it made")
        with open(path, "w", encoding="utf-8") as target:
            target.write(site.apply(block.text if text is None else text))
        os.chmod(path, 0o644)
        self.give(self.home)
        return path

    def env(self):
        # A fernd built with AddressSanitizer, started from a recipe (stunnel's by the README),
        # refuses to run when a preloaded library comes before the sanitizer's runtime; nss_wrapper
        # replaces no allocation, so the order does not matter to it.
        asan_options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"),
                                               "verify_asan_link_order=0"]))
        return {"HOME": self.home, "USER": self.name, "LOGNAME": self.name,
                "PATH": self.bin + ":" + LOGIN_PATH, "LANG": "C.UTF-8", "TERM": "dumb",
                "LD_PRELOAD": NSS_WRAPPER, "NSS_WRAPPER_PASSWD": self.passwd,
                "NSS_WRAPPER_GROUP": "/etc/group", "ASAN_OPTIONS": asan_options}

    def command(self, script):
        """The command line that runs script with bash as this user; -e stops at the first
        command that fails."""
        return harness.unprivileged_prefix() + ["/bin/bash", "-e", "-c", script]

    def run(self, script, server, timeout, expect_status=0, terminal=False, answers=()):
        """Runs script (commands of the documents, site values in place) to its end; fails
        unless it exits with expect_status. Returns the completed process. server, when given,
        is the one whose state a failure to end in time reports. With terminal, the script runs
        on a pseudo-terminal of the user's, as a full-screen client runs in a terminal window
        (TERM says what it is), answers are typed on it as harness.run_on_terminal says, and
        stdout holds what the terminal showed."""
        if terminal:
            done = harness.run_on_terminal(self.command(script), server, timeout,
                                           owner=(self.uid, self.gid), answers=answers,
                                           cwd=self.home, env=dict(self.env(), TERM="xterm"))
        elif server is None:
            done = subprocess.run(self.command(script), stdin=subprocess.DEVNULL,
                                  capture_output=True, cwd=self.home, env=self.env(),
                                  timeout=timeout, check=False)
        else:
            done = harness.run_client(self.command(script), server, timeout, cwd=self.home,
                                      env=self.env())
        if expect_status is not None and done.returncode != expect_status:
            raise AssertionError(
                f"the recipe exited with {done.returncode}, expected {expect_status}:\n"
                f"{script}\n{(done.stdout + done.stderr).decode('utf-8', 'replace')[-3000:]}")
        return done

    def start(self, script, output_path):
        """Starts script as this user in a process group of its own, its output in the file
        output_path; returns the Popen."""
        with open(output_path, "wb") as output:
            return subprocess.Popen(self.command(script), stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=output, cwd=self.home,
                                    env=self.env(), start_new_session=True)

    def add_program(self, name, text):
        """A program of the test's, put before the PATH under name."""
        path = os.path.join(self.bin, name)
        with open(path, "w", encoding="utf-8") as program:
            program.write(text)
        os.chmod(path, 0o755)
        return path

    def copy(self, source):
        """A copy of the file source in the user's directory, reachable by the user."""
        return harness.copy_for_unprivileged(source, os.path.join(self.base, "files"))


def run_commands(user, text, site, server, timeout):
    """Runs the commands of a block one by one, as one shell would, and returns the standard
    output of each (bytes)."""
    outputs = []
    for command in commands(site.apply(text)):
        outputs.append(user.run(command, server, timeout).stdout)
    return outputs


def need_nss_wrapper():
    """Fails when nss_wrapper is missing (the Debian package libnss-wrapper)."""
    if not glob.glob(f"/usr/lib/*/{NSS_WRAPPER}") + glob.glob(f"/usr/lib*/{NSS_WRAPPER}"):
        raise AssertionError(f"{NSS_WRAPPER} not found; install the Debian package "
                             "libnss-wrapper")


def which(program):
    """The path of a program on the login PATH, or a failure naming it."""
    path = shutil.which(program, path=LOGIN_PATH + ":/usr/bin/mh")
    if path is None:
        raise AssertionError(f"{program} not found")
    return path
