#!/usr/bin/python3
"""Runs a program and writes how long it ran, its peak resident memory and its exit status.

measure.py STATS PROGRAM [ARG...]: STATS gets one line "SECONDS MAXRSS_KIB STATUS", where
STATUS is the exit status, or -N when signal N ended it. The program's standard streams
are this script's own.
"""
import os
import sys
import time


def main():
    stats, argv = sys.argv[1], sys.argv[2:]
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    took = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    with open(stats, "w", encoding="utf-8") as f:
        f.write("%.3f %d %d\n" % (took, usage.ru_maxrss, code))
    sys.exit(0 if code == 0 else 1)


if __name__ == "__main__":
    main()
