#!/usr/bin/env python3
"""no_leftovers.py COMMAND [ARGS...]: runs COMMAND (ctest) so that every process its tests start
stays ours: as a child subreaper, a process whose parent ends (a daemon that forks twice and
leaves its session included) becomes our child instead of init's. What is still running once
COMMAND has ended, and has not gone by itself a moment later, is named (its command line, folder
and when it started, to find the test by), ended, and fails the run. COMMAND's own exit status is
kept when it failed."""

import ctypes
import os
import signal
import subprocess
import sys
import time

PR_SET_CHILD_SUBREAPER = 36
GRACE_SECONDS = 3  # for what a test ended just before it did itself, still on its way out


def descendants():
    """Every live process below this one, from /proc: {pid: parent}."""
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != "Z":
            parents[int(entry)] = int(fields[1])
    found, frontier = {}, {os.getpid()}
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier and pid not in found}
        found.update({pid: parents[pid] for pid in frontier})
    return found


def describe(pid, started):
    """The process's id, command line, folder and start (seconds into the run)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
            command = cmdline.read().replace(b"\0", b" ").decode(errors="replace").strip()
        with open("/proc/%d/stat" % pid) as stat:
            ticks = int(stat.read().rsplit(")", 1)[1].split()[19])
        folder = os.readlink("/proc/%d/cwd" % pid)
    except OSError:
        return "%d (gone meanwhile)" % pid
    return "%d, started %.0f s into the run, in %s: %s" % (
        pid, ticks / os.sysconf("SC_CLK_TCK") - started, folder, command[:400])


def uptime():
    with open("/proc/uptime") as seconds:
        return float(seconds.read().split()[0])


def left_after_grace():
    """The descendants still running after GRACE_SECONDS at most; the children that end meanwhile
    (orphans taken in end here too) are reaped."""
    deadline = time.monotonic() + GRACE_SECONDS
    while (left := descendants()) and time.monotonic() < deadline:
        time.sleep(0.1)
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            pass
    return left


def main():
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("no_leftovers: cannot become a child subreaper: %s" % os.strerror(ctypes.get_errno()))
    started = uptime()
    command = subprocess.Popen(sys.argv[1:])
    # Ctrl-C reaches the command from the terminal; a TERM sent to us alone is passed on. Either
    # way the leftovers are still ended below.
    signal.signal(signal.SIGINT, lambda *_: None)
    signal.signal(signal.SIGTERM, lambda *_: command.send_signal(signal.SIGTERM))
    while True:  # reaps orphans as they end, so none stays a zombie until the end
        pid, status = os.waitpid(-1, 0)
        if pid == command.pid:
            break
    exit_code = os.waitstatus_to_exitcode(status)
    exit_code = exit_code if exit_code >= 0 else 128 - exit_code

    left = left_after_grace()
    if not left:
        return exit_code
    print("no_leftovers: %d process(es) the tests started were still running:" % len(left), file=sys.stderr)
    for pid in sorted(left):
        print("  " + describe(pid, started), file=sys.stderr)
    # SIGTERM first, so that they can clean up (stopped ones are woken to take it), then SIGKILL.
    for number in (signal.SIGTERM, signal.SIGCONT, signal.SIGKILL):
        for pid in left:
            try:
                os.kill(pid, number)
            except ProcessLookupError:
                pass
        if number != signal.SIGTERM:
            left = left_after_grace()
    return exit_code or 1


if __name__ == "__main__":
    sys.exit(main())
