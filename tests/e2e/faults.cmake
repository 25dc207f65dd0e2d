# Faults around a session of the real binary (a killed session process, a client that vanishes
# during RETR, an unlink that fails, a log file that cannot be opened, mail arriving during a
# session), each losing nothing.
fernd_e2e_classes(faults faults.py 120)
