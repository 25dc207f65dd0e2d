# What a mailbox's owner reaches through fernd running as root: only what the owner could alone.
fernd_e2e_classes(owner owner.py 120)
