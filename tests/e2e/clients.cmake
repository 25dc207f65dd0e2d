# Real POP3 clients (poplib, curl, fetchmail, getmail6, fdm, s-nail, mailutils' movemail, nmh's
# inc, Emacs, and mutt and neomutt on a pseudo-terminal) against the real binary, in standalone
# mode and behind inetd-style activators. A class runs
# for a minute or two, longer in the sanitizer build on a busy machine.
fernd_e2e_classes(clients real_clients.py 600)
