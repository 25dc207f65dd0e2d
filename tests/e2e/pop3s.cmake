# POP3 over TLS: fernd --inetd behind a real stunnel4 process that runs the shipped stunnel
# configuration, with real clients (poplib, curl, fetchmail), and the system calls it makes
# against the sandbox of the shipped systemd drop-in.
fernd_e2e_classes(pop3s pop3s.py 300)
