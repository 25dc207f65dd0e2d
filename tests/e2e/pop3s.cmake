# POP3 over TLS: fernd --inetd behind a real stunnel4 process that runs the shipped stunnel
# configuration, with real clients (poplib, curl, fetchmail), and the system calls it makes
# against the sandbox of the shipped systemd drop-in.
fernd_e2e_classes(pop3s pop3s.py 300)
# POP3S in one command: scripts/demo --tls, which builds fernd in build/demo first, and the curl
# and poplib lines it prints.
fernd_e2e_classes(pop3s demo_tls.py 900)
