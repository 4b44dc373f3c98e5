#!/usr/bin/python3
"""An independent SNMPv3 agent for the differential tests, built on pysnmp.

  pysnmp_agent.py PORT

Answers GET and GETNEXT on 127.0.0.1:PORT with pysnmp's own SNMPv2-MIB instrumentation,
for one user per authentication and privacy protocol pair, named u-AUTH or u-AUTH-PRIV as
in the snmpd tests, pass phrases ink-and-paper and toner-secret, and u-none without
security. Prints "ready" once it listens.
"""
import sys

from pysnmp.carrier.asyncore.dgram import udp
from pysnmp.entity import config, engine
from pysnmp.entity.rfc3413 import cmdrsp, context

AUTH = {
    "MD5": config.usmHMACMD5AuthProtocol,
    "SHA": config.usmHMACSHAAuthProtocol,
    "SHA-224": config.usmHMAC128SHA224AuthProtocol,
    "SHA-256": config.usmHMAC192SHA256AuthProtocol,
    "SHA-384": config.usmHMAC256SHA384AuthProtocol,
    "SHA-512": config.usmHMAC384SHA512AuthProtocol,
}
# AES-192/256 with the Blumenthal key extension, the one net-snmp uses.
PRIV = {
    "DES": config.usmDESPrivProtocol,
    "AES": config.usmAesCfb128Protocol,
    "AES-192": config.usmAesBlumenthalCfb192Protocol,
    "AES-256": config.usmAesBlumenthalCfb256Protocol,
}

port = int(sys.argv[1])
snmp = engine.SnmpEngine()
config.addTransport(snmp, udp.domainName, udp.UdpTransport().openServerMode(("127.0.0.1", port)))
config.addV3User(snmp, "u-none")
config.addVacmUser(snmp, 3, "u-none", "noAuthNoPriv", (1, 3, 6, 1, 2, 1))
for a, ap in AUTH.items():
    user = "u-" + a
    config.addV3User(snmp, user, ap, "ink-and-paper")
    config.addVacmUser(snmp, 3, user, "authNoPriv", (1, 3, 6, 1, 2, 1))
    for p, pp in PRIV.items():
        user = "u-%s-%s" % (a, p)
        config.addV3User(snmp, user, ap, "ink-and-paper", pp, "toner-secret")
        config.addVacmUser(snmp, 3, user, "authPriv", (1, 3, 6, 1, 2, 1))
ctx = context.SnmpContext(snmp)
cmdrsp.GetCommandResponder(snmp, ctx)
cmdrsp.NextCommandResponder(snmp, ctx)
cmdrsp.BulkCommandResponder(snmp, ctx)
snmp.transportDispatcher.jobStarted(1)
print("ready", flush=True)
try:
    snmp.transportDispatcher.runDispatcher()
finally:
    snmp.transportDispatcher.closeDispatcher()
