#!/usr/bin/python3
"""TCP listeners for the endpoint tests, each with one behaviour.

--listen [ADDRESS:]PORT:MODE (repeatable; ADDRESS defaults to --bind), MODE one of
  close    accept and close at once (a raw-socket or LPD port that takes connections)
  garbage  accept, read what comes, answer bytes that are not HTTP, keep the connection
  silent   accept and never answer (a hung print server)
  to-N     forward every connection to 127.0.0.1:N (a peer that listens on the loopback
           only, such as ippeveprinter, made reachable from the link)
Binds every address of the namespace (--bind: one address); writes the ready file once all ports listen and
runs until it is terminated. Connections kept open are closed only at exit.
"""
import argparse
import selectors
import signal
import socket
import sys
import threading


def pump(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def forward(conn, port):
    try:
        upstream = socket.create_connection(("127.0.0.1", port))
    except OSError:
        conn.close()
        return
    threading.Thread(target=pump, args=(conn, upstream), daemon=True).start()
    threading.Thread(target=pump, args=(upstream, conn), daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", action="append", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--bind", default="0.0.0.0")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sel = selectors.DefaultSelector()
    for item in args.listen:
        parts = item.split(":")
        address = parts[0] if len(parts) == 3 else args.bind
        port, mode = parts[-2], parts[-1]
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, int(port)))
        s.listen(1024)
        sel.register(s, selectors.EVENT_READ, ("listen", mode))
    with open(args.ready, "w", encoding="utf-8") as f:
        f.write("ready\n")
    kept = []
    while True:
        for key, _ in sel.select():
            kind, mode = key.data
            if kind == "listen":
                conn, _ = key.fileobj.accept()
                if mode.startswith("to-"):
                    kept.append(conn)
                    forward(conn, int(mode[3:]))
                elif mode == "close":
                    conn.close()
                elif mode == "garbage":
                    sel.register(conn, selectors.EVENT_READ, ("conn", mode))
                else:
                    kept.append(conn)
            else:
                conn = key.fileobj
                try:
                    data = conn.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    sel.unregister(conn)
                    conn.close()
                    continue
                try:
                    conn.sendall(b"\x00\xffNOT-HTTP garbage\r\n\r\n" * 4)
                except OSError:
                    pass


if __name__ == "__main__":
    main()
