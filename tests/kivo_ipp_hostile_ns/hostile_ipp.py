#!/usr/bin/python3
"""An IPP server that answers Get-Printer-Attributes with what no printer should send.

--listen [ADDRESS:]PORT:MODE (repeatable; ADDRESS defaults to --bind), MODE one of
  decoders        a well-framed HTTP answer whose IPP body the decoder must refuse, by
                  the resource asked: /ipp/print an attribute whose value length runs past
                  the end of the body, /ipp 100,000 attributes, / collections nested
                  10,000 deep (the client tries the next resource after a bad body)
  chunk-lie       chunked: a chunk size of 32 KiB, 16 bytes of it, then nothing more
  chunk-overflow  chunked: a chunk size of more hex digits than 64 bits hold
  chunk-endless   chunked: 1 KiB chunks for ever
  chunk-zeros     chunked: a chunk-size line of zeros that never ends
  interim-flood   "100 Continue" interim answers for ever, never the real one
  header-flood    a status line, then header lines for ever
  length-4g       Content-Length: 4294967296, then bytes for ever
  length-huge     Content-Length: 2**128 + 1, then bytes for ever
  trickle         a valid answer, one byte a second
  tls-hang        takes the connection (a TLS ClientHello comes) and never answers
  offer-hang      a valid plain answer whose printer-uri-supported names an ipps:// URI
                  on this address and port; a TLS ClientHello then gets no answer
Writes the ready file once every port listens; runs until it is terminated. Each
connection is served by a thread of its own and ends when the client closes.
"""
import argparse
import signal
import socket
import struct
import sys
import threading
import time


def attr(tag, name, value):
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


def ipp_head(request_id):
    return (b"\x02\x00\x00\x00" + struct.pack(">I", request_id) + b"\x01" +
            attr(0x47, b"attributes-charset", b"utf-8") +
            attr(0x48, b"attributes-natural-language", b"en") + b"\x04")


def overrun(request_id):
    # The value claims 65,520 bytes; ten follow, and the body ends there.
    return (ipp_head(request_id) + struct.pack(">BH", 0x41, 22) + b"printer-make-and-model" +
            struct.pack(">H", 0xFFF0) + b"Overrun 10")


def many(request_id):
    one = attr(0x44, b"x", b"k")
    return ipp_head(request_id) + attr(0x41, b"printer-make-and-model", b"Many") + one * 100000 + b"\x03"


def deep(request_id):
    depth = 10000
    body = bytearray(ipp_head(request_id))
    body += attr(0x41, b"printer-make-and-model", b"Deep")
    body += attr(0x34, b"media-col", b"")
    for _ in range(depth - 1):
        body += attr(0x4A, b"", b"m") + attr(0x34, b"", b"")
    body += attr(0x4A, b"", b"m") + attr(0x44, b"", b"x")
    body += attr(0x37, b"", b"") * depth
    body += b"\x03"
    return bytes(body)


def good(request_id):
    return (ipp_head(request_id) + attr(0x41, b"printer-make-and-model", b"Trickle 1") +
            attr(0x23, b"printer-state", struct.pack(">i", 3)) + b"\x03")


def offering(request_id, address, port):
    uri = "ipp://%s:%d/ipp/print" % (address, port)
    return (ipp_head(request_id) + attr(0x41, b"printer-make-and-model", b"Offer 1") +
            attr(0x23, b"printer-state", struct.pack(">i", 3)) +
            attr(0x45, b"printer-uri-supported", uri.encode()) +
            attr(0x45, b"", ("ipps" + uri[3:]).encode()) + b"\x03")


def read_request(conn):
    """The request head and body (Content-Length); (resource, request id)."""
    data = b""
    while b"\r\n\r\n" not in data:
        got = conn.recv(65536)
        if not got:
            return None, 0
        data += got
        if len(data) > 65536:
            return None, 0
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    parts = lines[0].split(b" ")
    resource = parts[1].decode("latin-1") if len(parts) > 1 else "/"
    length = 0
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < min(length, 1 << 20):
        got = conn.recv(65536)
        if not got:
            break
        body += got
    request_id = struct.unpack(">I", body[4:8])[0] if len(body) >= 8 else 1
    return resource, request_id


def whole(body):
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
            str(len(body)).encode() + b"\r\n\r\n" + body)


CHUNKED = b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n"


def endless(conn, first, fill=b"\x41"):
    conn.sendall(first)
    block = fill * 65536
    while True:
        conn.sendall(block)


def hold(conn):
    while conn.recv(65536):
        pass


def serve(conn, mode, log):
    try:
        if mode == "tls-hang" or (mode == "offer-hang" and conn.recv(1, socket.MSG_PEEK) == b"\x16"):
            log.write("%s tls\n" % mode)
            log.flush()
            hold(conn)
            return
        resource, request_id = read_request(conn)
        if resource is None:
            return
        log.write("%s %s\n" % (mode, resource))
        log.flush()
        if mode == "decoders":
            make = {"/ipp/print": overrun, "/ipp": many}.get(resource, deep)
            conn.sendall(whole(make(request_id)))
            hold(conn)
        elif mode == "offer-hang":
            address, port = conn.getsockname()
            conn.sendall(whole(offering(request_id, address, port)))
            hold(conn)
        elif mode == "chunk-lie":
            conn.sendall(CHUNKED + b"8000\r\n" + ipp_head(request_id)[:16])
            hold(conn)
        elif mode == "chunk-overflow":
            conn.sendall(CHUNKED + b"1" + b"0" * 32 + b"\r\n" + good(request_id))
            hold(conn)
        elif mode == "chunk-endless":
            chunk = b"400\r\n" + b"\x41" * 1024 + b"\r\n"
            conn.sendall(CHUNKED)
            while True:
                conn.sendall(chunk * 64)
        elif mode == "chunk-zeros":
            endless(conn, CHUNKED, b"0")
        elif mode == "interim-flood":
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            while True:
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n" * 256)
        elif mode == "header-flood":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\n")
            while True:
                conn.sendall(b"X-Padding: " + b"p" * 100 + b"\r\n")
        elif mode == "length-4g":
            endless(conn, b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\n"
                          b"Content-Length: 4294967296\r\n\r\n" + good(request_id))
        elif mode == "length-huge":
            endless(conn, b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
                    str(2 ** 128 + 1).encode() + b"\r\n\r\n" + good(request_id))
        elif mode == "trickle":
            for b in whole(good(request_id)):
                conn.sendall(bytes([b]))
                time.sleep(1)
            hold(conn)
    except OSError:
        pass
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", action="append", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--bind", default="0.0.0.0")
    parser.add_argument("--log", default="/dev/null")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    log = open(args.log, "a", encoding="utf-8")
    listeners = []
    for item in args.listen:
        parts = item.split(":")
        address = parts[0] if len(parts) == 3 else args.bind
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, int(parts[-2])))
        s.listen(64)
        listeners.append((s, parts[-1]))

    def accept(s, mode):
        while True:
            conn, _ = s.accept()
            threading.Thread(target=serve, args=(conn, mode, log), daemon=True).start()

    for s, mode in listeners:
        threading.Thread(target=accept, args=(s, mode), daemon=True).start()
    with open(args.ready, "w", encoding="utf-8") as f:
        f.write("ready\n")
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
