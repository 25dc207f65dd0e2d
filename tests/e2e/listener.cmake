# The standalone listener: the real binary on loopback, driven by Python's poplib and raw
# sockets.
fernd_e2e_classes(listener listener_test.py 120)
