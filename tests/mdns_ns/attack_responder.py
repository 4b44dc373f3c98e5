#!/usr/bin/python3
"""A multicast DNS responder of the tests' own that answers every query with crafted bytes.

It listens on port 5353 in the group 224.0.0.251 and, for each query that arrives from a
port other than 5353, sends every file of the datagram directory (in name order) to the
querier by unicast from port 5353, as a responder answers a one-shot query. Each
query received is logged as one line: the querier's address and port.
"""
import argparse
import os
import socket
import struct


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--datagrams", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    names = sorted(os.listdir(args.datagrams))
    datagrams = []
    for name in names:
        with open(os.path.join(args.datagrams, name), "rb") as f:
            datagrams.append(f.read())
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("0.0.0.0", 5353))
    mreq = struct.pack("4s4s", socket.inet_aton("224.0.0.251"), socket.inet_aton(args.address))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    with open(args.ready, "w", encoding="utf-8") as f:
        f.write("ready\n")
    answered = set()
    while True:
        data, (host, port) = sock.recvfrom(65535)
        with open(args.log, "a", encoding="utf-8") as f:
            f.write("%s %d %d\n" % (host, port, len(data)))
        # One burst per querier socket: the repeats and follow-ups get no second one.
        if port == 5353 or (host, port) in answered:
            continue
        answered.add((host, port))
        for d in datagrams:
            sock.sendto(d, (host, port))


if __name__ == "__main__":
    main()
