#!/usr/bin/python3
"""An independent SNMPv1/v2c codec for the differential tests, built on pysnmp/pyasn1.

  pysnmp_peer.py decode   reads one message a line (hex) and prints its description
  pysnmp_peer.py encode   reads one description a line and prints the message (hex)

A description is  version|community-hex|pdu-tag-hex|request-id|error-status|error-index|bindings
with bindings  name=tag-hex:value  joined by ';'. Values: signed decimal for INTEGER,
unsigned decimal for Counter32, Gauge32, TimeTicks and Counter64, hex for the byte
strings (OCTET STRING, IpAddress, Opaque), dotted for OBJECT IDENTIFIER, empty for NULL
and the three exceptions. A line that cannot be handled prints 'ERROR <reason>'.
"""
import sys

from pyasn1.codec.ber import decoder, encoder
from pysnmp.proto import api, rfc1905

NUMBERS_SIGNED = {0x02}
NUMBERS_UNSIGNED = {0x41, 0x42, 0x43, 0x46, 0x47}
BYTES = {0x04, 0x40, 0x44, 0x45, 0x03}


def tag_octet(value):
    t = value.tagSet.superTags[-1]
    return t.tagClass | t.tagFormat | t.tagId


def describe_value(value):
    tag = tag_octet(value)
    if tag in NUMBERS_SIGNED or tag in NUMBERS_UNSIGNED:
        text = str(int(value))
    elif tag in BYTES:
        text = bytes(value.asOctets()).hex()
    elif tag == 0x06:
        text = '.'.join(str(x) for x in tuple(value))
    else:
        text = ''
    return '%02x:%s' % (tag, text)


def decode(line):
    msg_bytes = bytes.fromhex(line)
    version = int(api.decodeMessageVersion(msg_bytes))
    p = api.protoModules[version]
    msg, rest = decoder.decode(msg_bytes, asn1Spec=p.Message())
    if rest:
        raise ValueError('trailing bytes')
    pdu = p.apiMessage.getPDU(msg)
    binds = ';'.join('%s=%s' % ('.'.join(str(x) for x in tuple(n)), describe_value(v))
                     for n, v in p.apiPDU.getVarBinds(pdu))
    return '|'.join([str(version), bytes(p.apiMessage.getCommunity(msg)).hex(),
                     '%02x' % tag_octet(pdu), str(int(p.apiPDU.getRequestID(pdu))),
                     str(int(p.apiPDU.getErrorStatus(pdu))), str(int(p.apiPDU.getErrorIndex(pdu))),
                     binds])


def make_value(p, version, tag, text):
    oid = lambda t: tuple(int(x) for x in t.split('.')) if t else ()
    if version == 0:
        table = {0x02: lambda: p.Integer(int(text)), 0x04: lambda: p.OctetString(bytes.fromhex(text)),
                 0x05: lambda: p.Null(''), 0x06: lambda: p.ObjectIdentifier(oid(text)),
                 0x40: lambda: p.IpAddress(bytes.fromhex(text)), 0x41: lambda: p.Counter(int(text)),
                 0x42: lambda: p.Gauge(int(text)), 0x43: lambda: p.TimeTicks(int(text)),
                 0x44: lambda: p.Opaque(bytes.fromhex(text))}
    else:
        table = {0x02: lambda: p.Integer(int(text)), 0x04: lambda: p.OctetString(bytes.fromhex(text)),
                 0x05: lambda: p.Null(''), 0x06: lambda: p.ObjectIdentifier(oid(text)),
                 0x40: lambda: p.IpAddress(bytes.fromhex(text)), 0x41: lambda: p.Counter32(int(text)),
                 0x42: lambda: p.Gauge32(int(text)), 0x43: lambda: p.TimeTicks(int(text)),
                 0x44: lambda: p.Opaque(bytes.fromhex(text)), 0x46: lambda: p.Counter64(int(text)),
                 0x80: lambda: rfc1905.noSuchObject, 0x81: lambda: rfc1905.noSuchInstance,
                 0x82: lambda: rfc1905.endOfMibView}
    return table[tag]()


def encode(line):
    version, community, command, reqid, errstat, errindex, binds = line.split('|')
    version = int(version)
    p = api.protoModules[version]
    pdus = {0xA0: 'GetRequestPDU', 0xA1: 'GetNextRequestPDU',
            0xA2: 'GetResponsePDU' if version == 0 else 'ResponsePDU', 0xA3: 'SetRequestPDU',
            0xA6: 'InformRequestPDU', 0xA7: 'SNMPv2TrapPDU'}
    pdu = getattr(p, pdus[int(command, 16)])()
    p.apiPDU.setDefaults(pdu)
    p.apiPDU.setRequestID(pdu, int(reqid))
    p.apiPDU.setErrorStatus(pdu, int(errstat))
    p.apiPDU.setErrorIndex(pdu, int(errindex))
    varbinds = []
    for bind in filter(None, binds.split(';')):
        name, value = bind.split('=', 1)
        tag, text = value.split(':', 1)
        varbinds.append((tuple(int(x) for x in name.split('.')),
                         make_value(p, version, int(tag, 16), text)))
    p.apiPDU.setVarBinds(pdu, varbinds)
    msg = p.Message()
    p.apiMessage.setDefaults(msg)
    p.apiMessage.setCommunity(msg, bytes.fromhex(community))
    p.apiMessage.setPDU(msg, pdu)
    return encoder.encode(msg).hex()


def main():
    work = {'decode': decode, 'encode': encode}[sys.argv[1]]
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            print(work(line))
        except Exception as e:  # one bad line must not hide the answers for the others
            print('ERROR %s: %s' % (type(e).__name__, str(e).replace('\n', ' ')[:200]))


if __name__ == '__main__':
    main()
