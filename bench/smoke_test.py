#!/usr/bin/env python3
"""Smoke test of the benchmark tools against the real server: no figure is judged, only that the
load generator talks to fernd correctly and reports what it saw as valid JSON.

    smoke_test.py FERND POP3_LOAD BENCH_MAILDIR BENCH_SCAN SESSION_FLOOR

It generates two small Maildirs, starts fernd on an ephemeral port of 127.0.0.1 and runs each
load-generator mode once, for a fraction of a second: the session count, the RETR byte count
and the listing's message count must be exactly what the Maildirs imply. The scan tool then reads
the small Maildir once with each of its methods, which must all count its 50 messages. Last, the
session floor serves the small Maildir: the session mode runs against it as against fernd, and
after the greeting it answers one session's commands with fernd's bytes.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

STEP_TIMEOUT = 30  # seconds for any one step


def listening_port(pid):
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:
                return int(fields[1].rsplit(":", 1)[1], 16)
    return None


def run_load(load, *args):
    out = subprocess.run([load] + list(args), stdout=subprocess.PIPE, text=True,
                         timeout=STEP_TIMEOUT).stdout
    lines = [json.loads(line) for line in out.splitlines()]
    for line in lines:
        if line.get("ok") is not True:
            raise AssertionError("load generator reported a failure: %s" % line)
    return lines


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def stop_server(server):
    try:
        os.killpg(server.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass  # it ended, and so did its session processes
    server.wait(timeout=STEP_TIMEOUT)


def start_server(args, what):
    """Starts a listener on an ephemeral port; returns it and its port."""
    server = subprocess.Popen(args, stdin=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + STEP_TIMEOUT
    port = None
    try:
        while port is None:
            check(server.poll() is None, "%s exited with status %s" % (what, server.returncode))
            check(time.monotonic() < deadline, "%s does not listen" % what)
            port = listening_port(server.pid)
            if port is None:
                time.sleep(0.01)
    except BaseException:
        stop_server(server)
        raise
    return server, port


def dialogue(port, commands):
    """The replies to each command of one session, sent one at a time after the greeting, and
    what came after the last reply until the server closed."""
    with socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT) as sock:
        replies = sock.makefile("rb")
        replies.readline()
        answers = []
        for command in commands:
            sock.sendall(command)
            answers.append(replies.readline())
        answers.append(replies.read())
    return answers


def main():
    fernd, load, maildir_tool, scan_tool, session_floor = sys.argv[1:6]
    work = tempfile.mkdtemp(prefix="fernd-bench-smoke-")
    server = None
    floor_server = None
    try:
        manifests = {}
        for name, count, size in (("big", 1, 300_000), ("small", 50, 2000)):
            out = subprocess.run([maildir_tool, os.path.join(work, name), str(count), str(size)],
                                 check=True, stdout=subprocess.PIPE, text=True,
                                 timeout=STEP_TIMEOUT).stdout
            manifests[name] = json.loads(out)
        server, port = start_server(
            [fernd, "--interface=127.0.0.1", "--port=0",
             "--auth=big,echo pw", "--maildir=" + os.path.join(work, "big"),
             "--auth=small,echo pw", "--maildir=" + os.path.join(work, "small")], "fernd")
        common = ["--port=%d" % port, "--pass=pw", "--timeout=%d" % STEP_TIMEOUT]

        [sessions] = run_load(load, "sessions", "--user=small", "--sessions=20", *common)
        check(sessions["sessions"] == 20 and sessions["errors"] == 0,
              "sessions: %s" % sessions)
        check(0 < sessions["p50_ms"] <= sessions["p99_ms"] <= sessions["max_ms"],
              "sessions: latencies out of order: %s" % sessions)

        big_new = os.path.join(work, "big", "new")
        message_file = os.path.join(big_new, sorted(os.listdir(big_new))[0])
        expected = manifests["big"]["retr_wire_bytes"]
        # The floors bound to a CPU, as bench/run binds them.
        results = run_load(load, "retr", "--user=big", "--message=1", "--floors",
                           "--bytes=%d" % expected, "--message-file=" + message_file,
                           "--floor-cpu=%d" % min(os.sched_getaffinity(0)), *common)
        by_mode = {}
        for r in results:
            by_mode.setdefault(r["mode"], []).append(r)
        # floor, RETR, floor: each floor runs before the RETR and after it.
        check(len(by_mode["retr"]) == 1, "retr: %s" % by_mode["retr"])
        retr = by_mode["retr"][0]
        check(retr["bytes"] == expected, "retr: %d bytes, expected %d" % (retr["bytes"], expected))
        for floor in ("floor_plain", "floor_transform"):
            check([r["after"] for r in by_mode[floor]] == [0, 1], "%s: %s" % (floor, by_mode[floor]))
            # The transforming floor forms the same wire bytes from the file as fernd.
            check(all(r["bytes"] == expected and r["cpu_ms_per_mb"] >= 0 for r in by_mode[floor]),
                  "%s: %s" % (floor, by_mode[floor]))
        check(retr["ratio_plain"] > 0, "retr: no ratio to the plain floor: %s" % retr)
        check(retr["ratio_transform"] > 0, "retr: no ratio to the transforming floor: %s" % retr)

        for mode in ("uidl", "list"):
            [listing] = run_load(load, mode, "--user=small", *common)
            check(listing["messages"] == 50, "%s: %s" % (mode, listing))

        [login] = run_load(load, "login", "--user=small", *common)
        check(login["login_ms"] > 0, "login: %s" % login)

        scan = json.loads(subprocess.run([scan_tool, os.path.join(work, "small", "new"), "1"],
                                         check=True, stdout=subprocess.PIPE, text=True,
                                         timeout=STEP_TIMEOUT).stdout)
        check(scan["files"] == 50, "scan: %s" % scan)
        methods = [key for key in scan if key.endswith("_cpu_ms")]
        check({"readdir_cpu_ms", "readdir_stat_cpu_ms", "getdents_stat_cpu_ms",
               "readdir_statx_cpu_ms", "inode_order_stat_cpu_ms"} <= set(methods),
              "scan: methods missing: %s" % scan)

        floor_server, floor_port = start_server(
            [session_floor, "0", "big", os.path.join(work, "big"),
             "small", os.path.join(work, "small")], "the session floor")
        floor_common = ["--port=%d" % floor_port] + common[1:]
        [sessions] = run_load(load, "sessions", "--user=small", "--sessions=20", *floor_common)
        check(sessions["sessions"] == 20 and sessions["errors"] == 0,
              "sessions against the floor: %s" % sessions)
        commands = [b"USER small\r\n", b"PASS pw\r\n", b"STAT\r\n", b"QUIT\r\n"]
        expected = dialogue(port, commands)
        check(expected[2] == b"+OK 50 %d\r\n" % manifests["small"]["disk_bytes"],
              "fernd's STAT: %s" % expected)
        answers = dialogue(floor_port, commands)
        check(answers == expected, "the floor answered %s, fernd %s" % (answers, expected))
    finally:
        for listener in (server, floor_server):
            if listener is not None:
                stop_server(listener)
        shutil.rmtree(work, ignore_errors=True)
    print("bench smoke test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
