#!/usr/bin/python3
"""A small SLPv2 service agent for tests (RFC 2608), written from the RFC alone.

It joins the SLP multicast group 239.255.255.253 on UDP port 427 through the interface
whose address it is given (normally inside a network namespace that a test made) and
answers every Service Request with a Service Reply that it builds itself. What it
answers is set on the command line, so that one program can play well-behaved devices,
devices that report errors, and devices that send garbage:

  --url URL            advertise URL (repeat for several entries)
  --auth-blocks N,N..  authentication blocks per URL entry, in --url order (default 0)
  --lifetime SECONDS   lifetime of every entry (default 300)
  --error CODE         SLP error code of the reply (default 0); a non-zero code sends
                       no entries unless --count says otherwise
  --count N            URL count to announce instead of the number of entries sent
  --lang TAG           language tag of the reply (default: the request's)
  --short N            answer with N bytes of junk instead of a reply
  --delay SECONDS      wait before answering
  --match TYPE         answer only requests for this service type
  --log FILE           append one JSON line per request received (fields decoded,
                       with the IP time-to-live it arrived with)
  --ready FILE         create FILE once the group is joined
  --write-reply FILE   write the reply to a request with XID 1 and tag "en" to FILE
                       and exit without touching the network

Example: responder.py --address 10.47.0.2 --url service:printer:lpr://10.47.0.2:515/q
"""
import argparse
import json
import os
import socket
import struct
import sys
import time

GROUP = "239.255.255.253"
PORT = 427
SRVRQST = 1
SRVRPLY = 2
IP_RECVTTL = getattr(socket, "IP_RECVTTL", 12)
IP_TTL = getattr(socket, "IP_TTL", 2)


class Truncated(Exception):
    pass


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise Truncated()
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack(">H", self.take(2))[0]

    def u24(self):
        return int.from_bytes(self.take(3), "big")

    def string(self):
        return self.take(self.u16()).decode("latin-1")


def parse_request(data):
    """Header (RFC 2608 section 8) and, for a SrvRqst, its body (section 8.1)."""
    r = Reader(data)
    msg = {
        "version": r.u8(),
        "function": r.u8(),
        "length": r.u24(),
        "flags": r.u16(),
        "next_ext": r.u24(),
        "xid": r.u16(),
    }
    msg["lang"] = r.string()
    if msg["function"] == SRVRQST:
        msg["prlist"] = r.string()
        msg["service_type"] = r.string()
        msg["scopes"] = r.string()
        msg["predicate"] = r.string()
        msg["spi"] = r.string()
    msg["size"] = len(data)
    return msg


def auth_block(index):
    """An authentication block (section 9.2): BSD, length, timestamp, SPI, signature."""
    spi = b"test-spi-%d" % index
    signature = bytes((index * 7 + i) & 0xFF for i in range(5 + 3 * index))
    rest = struct.pack(">I", 0x5F5E1000 + index) + struct.pack(">H", len(spi)) + spi + signature
    return struct.pack(">HH", 0x0002, 4 + len(rest)) + rest


def url_entry(url, lifetime, blocks):
    """A URL entry (section 4.3)."""
    raw = url.encode("latin-1")
    out = b"\0" + struct.pack(">HH", lifetime, len(raw)) + raw + bytes([blocks])
    for i in range(blocks):
        out += auth_block(i)
    return out


def build_reply(xid, lang, args):
    urls = args.url if args.error == 0 or args.count is not None else []
    body = b""
    for i, url in enumerate(urls):
        body += url_entry(url, args.lifetime, args.auth[i] if i < len(args.auth) else 0)
    count = args.count if args.count is not None else len(urls)
    body = struct.pack(">HH", args.error, count) + body
    tag = (args.lang if args.lang is not None else lang).encode("latin-1")
    total = 14 + len(tag) + len(body)
    header = bytes([2, SRVRPLY]) + total.to_bytes(3, "big") + b"\0\0" + b"\0\0\0"
    header += struct.pack(">HH", xid, len(tag)) + tag
    return header + body


def ttl_of(ancillary):
    for level, kind, data in ancillary:
        if level == socket.IPPROTO_IP and kind in (IP_TTL, IP_RECVTTL) and len(data) >= 1:
            return int.from_bytes(data[:4], sys.byteorder) if len(data) >= 4 else data[0]
    return None


def serve(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    sock.bind(("", PORT))
    membership = socket.inet_aton(GROUP) + socket.inet_aton(args.address)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write("%d\n" % os.getpid())
    while True:
        data, ancillary, _flags, sender = sock.recvmsg(65535, socket.CMSG_SPACE(4))
        try:
            msg = parse_request(data)
        except Truncated:
            msg = {"function": None, "size": len(data)}
        msg["from"] = sender[0]
        msg["port"] = sender[1]
        msg["ttl"] = ttl_of(ancillary)
        if args.log:
            with open(args.log, "a") as f:
                f.write(json.dumps(msg) + "\n")
        if msg.get("function") != SRVRQST or msg.get("version") != 2:
            continue
        if args.match is not None and msg["service_type"] != args.match:
            continue
        if args.delay > 0:
            time.sleep(args.delay)
        if args.short is not None:
            sock.sendto(bytes((0x5A + i) & 0xFF for i in range(args.short)), sender)
        else:
            sock.sendto(build_reply(msg["xid"], msg["lang"], args), sender)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--address", default="0.0.0.0", help="interface address to join the group on")
    p.add_argument("--url", action="append", default=[])
    p.add_argument("--auth-blocks", dest="auth", default="")
    p.add_argument("--lifetime", type=int, default=300)
    p.add_argument("--error", type=int, default=0)
    p.add_argument("--count", type=int)
    p.add_argument("--lang")
    p.add_argument("--short", type=int)
    p.add_argument("--delay", type=float, default=0.0)
    p.add_argument("--match")
    p.add_argument("--log")
    p.add_argument("--ready")
    p.add_argument("--write-reply", dest="write_reply")
    args = p.parse_args()
    args.auth = [int(n) for n in args.auth.split(",") if n != ""]
    if args.write_reply:
        with open(args.write_reply, "wb") as f:
            f.write(build_reply(1, "en", args))
        return 0
    serve(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
