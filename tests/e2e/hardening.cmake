# What hostile users, debuggers and exhausted resources do to the real binary (stopped sessions,
# linked lock files, messages that are no regular files, descriptors running out, signals of
# session processes, memory that no other process of fernd's user can read).
fernd_e2e_classes(hardening hardening.py 120)
