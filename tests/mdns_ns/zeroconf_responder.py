#!/usr/bin/python3
"""Announces DNS-SD services with python3-zeroconf, for the discovery tests.

The services come from a JSON file: a list of {"type", "name", "port", "server",
"txt": {key: value}}. The responder binds to one address of its namespace, announces
every service, writes the ready file and answers until it is terminated.
"""
import argparse
import json
import signal
import socket
import sys
import time

from zeroconf import IPVersion, ServiceInfo, Zeroconf


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--services", required=True)
    parser.add_argument("--ready", required=True)
    args = parser.parse_args()
    with open(args.services, encoding="utf-8") as f:
        services = json.load(f)
    zc = Zeroconf(interfaces=[args.address], ip_version=IPVersion.V4Only)
    for s in services:
        info = ServiceInfo(
            s["type"],
            s["name"] + "." + s["type"],
            addresses=[socket.inet_aton(args.address)],
            port=s["port"],
            properties=s.get("txt", {}),
            server=s["server"],
        )
        zc.register_service(info)
    with open(args.ready, "w", encoding="utf-8") as f:
        f.write("ready\n")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        while True:
            time.sleep(1)
    finally:
        zc.close()


if __name__ == "__main__":
    main()
