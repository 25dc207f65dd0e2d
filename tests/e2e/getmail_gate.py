"""Runs getmail with one race of getmail 6.18 closed, for the tests:

    python3 getmail_gate.py /usr/bin/getmail [getmail's arguments]

getmail forks a child for every delivery and installs its SIGCHLD handler only after fork() has
returned in the parent; the handler wakes the parent only if the parent already waits. A child
that ends before that goes unnoticed, and getmail waits out its timeout (180 s) before it reports
"waiting child pid N timed out". On a busy machine that happens now and then, most often when
the child ends at once (getmail run as root refuses to deliver). Here each child, right after
fork(), waits until its parent catches SIGCHLD and sleeps (in that wait), for at most
GATE_SECONDS, and then goes on as getmail would. Nothing else of getmail changes.
"""

import os
import runpy
import signal
import sys
import time

import fernd_harness as harness

GATE_SECONDS = 10.0


def parent_waits(parent):
    """True when process parent catches SIGCHLD and sleeps, or is gone."""
    try:
        caught = harness.signal_masks(parent)["SigCgt"]
    except OSError:
        return True
    state = harness.process_state(parent)
    return state is None or (signal.SIGCHLD in caught and state == "S")


def gated_fork(fork=os.fork):
    parent = os.getpid()
    pid = fork()
    if pid == 0:
        deadline = time.monotonic() + GATE_SECONDS
        while not parent_waits(parent) and time.monotonic() < deadline:
            time.sleep(0.001)
    return pid


if __name__ == "__main__":
    os.fork = gated_fork
    sys.argv = sys.argv[1:]
    runpy.run_path(sys.argv[0], run_name="__main__")
