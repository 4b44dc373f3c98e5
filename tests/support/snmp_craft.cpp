// The tests' own BER writer and request reader for crafted SNMP messages.
#include "support/snmp_craft.h"

#include <gtest/gtest.h>

#include <string>

namespace kivo8::test {

namespace craft {

Oid parse_oid(const std::string &dotted) {
  Oid out;
  std::size_t i = 0;
  if (i < dotted.size() && dotted[i] == '.') ++i;
  while (i < dotted.size()) {
    std::size_t end = dotted.find('.', i);
    if (end == std::string::npos) end = dotted.size();
    out.push_back(static_cast<std::uint32_t>(std::stoul(dotted.substr(i, end - i))));
    i = end + 1;
  }
  return out;
}

std::string oid_text(const Oid &oid) {
  std::string out;
  for (auto sub : oid) out += "." + std::to_string(sub);
  return out;
}

Bytes tlv(std::uint8_t tag, const Bytes &contents) {
  Bytes out{tag};
  std::size_t n = contents.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    Bytes len;
    for (std::size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), std::uint8_t(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes tlv_wide(std::uint8_t tag, const Bytes &contents) {
  Bytes out{tag};
  const std::size_t n = contents.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n > 0xFFFF) {
    out.push_back(0x83);
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
  }
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes integer(std::int64_t value, std::uint8_t tag) {
  Bytes c;
  for (int shift = 56; shift >= 0; shift -= 8) c.push_back(std::uint8_t(value >> shift));
  // Shortest two's complement form: drop a leading octet while the next one's top bit
  // says the same thing.
  while (c.size() > 1 && ((c[0] == 0x00 && !(c[1] & 0x80)) || (c[0] == 0xFF && (c[1] & 0x80))))
    c.erase(c.begin());
  return tlv(tag, c);
}

Bytes octets(const std::string &text, std::uint8_t tag) {
  return tlv(tag, Bytes(text.begin(), text.end()));
}

Bytes null(std::uint8_t tag) { return Bytes{tag, 0x00}; }

Bytes oid(const Oid &name, std::uint8_t tag) {
  Bytes c;
  std::size_t i = 0;
  if (name.size() >= 2) {
    std::uint32_t first = name[0] * 40 + name[1];
    Bytes sub;
    for (std::uint32_t v = first;; v >>= 7) {
      sub.insert(sub.begin(), std::uint8_t((v & 0x7F) | (sub.empty() ? 0 : 0x80)));
      if (v < 0x80) break;
    }
    c.insert(c.end(), sub.begin(), sub.end());
    i = 2;
  }
  for (; i < name.size(); ++i) {
    Bytes sub;
    for (std::uint32_t v = name[i];; v >>= 7) {
      sub.insert(sub.begin(), std::uint8_t((v & 0x7F) | (sub.empty() ? 0 : 0x80)));
      if (v < 0x80) break;
    }
    c.insert(c.end(), sub.begin(), sub.end());
  }
  return tlv(tag, c);
}

Bytes encode(const Message &m) {
  Bytes list;
  for (const auto &b : m.bindings) {
    Bytes vb = oid(b.name);
    vb.insert(vb.end(), b.value.begin(), b.value.end());
    Bytes seq = tlv(0x30, vb);
    list.insert(list.end(), seq.begin(), seq.end());
  }
  Bytes pdu = integer(m.reqid);
  for (const Bytes &part : {integer(m.errstat), integer(m.errindex), tlv(0x30, list)})
    pdu.insert(pdu.end(), part.begin(), part.end());
  Bytes body = integer(m.version);
  for (const Bytes &part : {octets(m.community), tlv(m.pdu_tag, pdu)})
    body.insert(body.end(), part.begin(), part.end());
  return tlv(0x30, body);
}

namespace {

// A bounded TLV reader of its own, independent of the library's.
struct Reader {
  const Bytes &b;
  std::size_t pos;
  std::size_t end;
  bool ok = true;

  bool next(std::uint8_t &tag, std::size_t &start, std::size_t &len) {
    if (!ok || end - pos < 2) return ok = false;
    tag = b[pos];
    std::size_t first = b[pos + 1];
    pos += 2;
    if (first < 0x80) {
      len = first;
    } else {
      std::size_t count = first & 0x7F;
      if (count == 0 || count > 4 || end - pos < count) return ok = false;
      len = 0;
      for (std::size_t i = 0; i < count; ++i) len = (len << 8) | b[pos++];
    }
    if (len > end - pos) return ok = false;
    start = pos;
    pos += len;
    return true;
  }
};

std::int64_t read_int(const Bytes &b, std::size_t start, std::size_t len) {
  std::int64_t v = (len > 0 && (b[start] & 0x80)) ? -1 : 0;
  for (std::size_t i = 0; i < len && i < 8; ++i) v = (v << 8) | b[start + i];
  return v;
}

Oid read_oid(const Bytes &b, std::size_t start, std::size_t len) {
  Oid out;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < len; ++i) {
    v = (v << 7) | (b[start + i] & 0x7F);
    if (!(b[start + i] & 0x80)) {
      if (out.empty()) {
        out.push_back(v < 80 ? std::uint32_t(v / 40) : 2);
        out.push_back(std::uint32_t(v < 80 ? v % 40 : v - 80));
      } else {
        out.push_back(std::uint32_t(v));
      }
      v = 0;
    }
  }
  return out;
}

}  // namespace

Request decode_request(const Bytes &datagram) {
  Request r;
  Reader top{datagram, 0, datagram.size()};
  std::uint8_t tag;
  std::size_t start, len;
  if (!top.next(tag, start, len) || tag != 0x30) return r;
  Reader msg{datagram, start, start + len};
  if (!msg.next(tag, start, len)) return r;
  r.version = read_int(datagram, start, len);
  if (!msg.next(tag, start, len)) return r;
  r.community.assign(datagram.begin() + long(start), datagram.begin() + long(start + len));
  if (!msg.next(tag, start, len)) return r;
  r.pdu_tag = tag;
  Reader pdu{datagram, start, start + len};
  if (!pdu.next(tag, start, len)) return r;
  r.reqid = read_int(datagram, start, len);
  if (!pdu.next(tag, start, len)) return r;
  r.errstat = read_int(datagram, start, len);
  if (!pdu.next(tag, start, len)) return r;
  r.errindex = read_int(datagram, start, len);
  if (!pdu.next(tag, start, len)) return r;
  Reader list{datagram, start, start + len};
  while (list.pos < list.end) {
    if (!list.next(tag, start, len)) return r;
    Reader vb{datagram, start, start + len};
    if (!vb.next(tag, start, len)) return r;
    r.names.push_back(read_oid(datagram, start, len));
  }
  r.ok = true;
  return r;
}

}  // namespace craft

}  // namespace kivo8::test
