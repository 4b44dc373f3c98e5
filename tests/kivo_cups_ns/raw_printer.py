#!/usr/bin/python3
"""A raw-socket printer for the CUPS tests: listens on --port, saves the bytes of each
connection to DIR/job-N once it closes, writes the ready file once it listens, and runs
until it is terminated."""
import argparse
import os
import signal
import socket
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=9100)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--ready", required=True)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", args.port))
    s.listen(16)
    with open(args.ready, "w", encoding="utf-8") as f:
        f.write("ready\n")
    n = 0
    while True:
        conn, _ = s.accept()
        conn.settimeout(60)
        data = b""
        try:
            while len(data) < 16 * 1024 * 1024:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                data += chunk
        except OSError:
            pass
        conn.close()
        if not data:
            continue  # a probe that only connected
        n += 1
        path = os.path.join(args.dir, "job-%d" % n)
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.rename(path + ".part", path)


if __name__ == "__main__":
    main()
