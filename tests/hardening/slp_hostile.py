#!/usr/bin/python3
"""A hostile SLP service agent for tests: it joins the SLP multicast group through the
interface whose address it is given and answers every datagram it receives with the
replies given as hex on the command line, byte for byte, whatever they claim.

  slp_hostile.py --address 10.48.0.1 --ready FILE --reply HEX [--reply HEX ...]
"""
import argparse
import socket
import struct

GROUP = "239.255.255.253"
PORT = 427


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--address", required=True)
    ap.add_argument("--ready", required=True)
    ap.add_argument("--reply", action="append", default=[])
    args = ap.parse_args()
    replies = [bytes.fromhex(h) for h in args.reply]

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("0.0.0.0", PORT))
    membership = struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(args.address))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out.bind((args.address, 0))
    open(args.ready, "w").close()
    while True:
        _, sender = sock.recvfrom(65535)
        for r in replies:
            out.sendto(r, sender)


if __name__ == "__main__":
    main()
