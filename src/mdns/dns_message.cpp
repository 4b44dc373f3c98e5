// DNS message decoder for multicast DNS replies and encoder for our one-shot queries.
#include "mdns/dns_message.h"

#include <algorithm>

#include "core/bytes.h"

namespace kivo8::mdns {

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string join(const std::vector<std::string> &labels, bool lower) {
  std::string out;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i != 0) out += '.';
    for (char c : labels[i]) {
      if (c == '.' || c == '\\') out += '\\';
      out += lower ? ascii_lower(c) : c;
    }
  }
  return out;
}

struct NameResult {
  std::optional<DnsName> name;
  DecodeError error = DecodeError::None;
};

// Reads a possibly compressed name that starts at the reader's position; `in` covers the
// message from offset `in_base` on. After a pointer, reading goes on in a reader that
// ends where the current run of labels began: a name written earlier in the message
// cannot reach into the run that points at it, so each jump lands strictly lower and
// the chain ends, whatever the bytes say.
NameResult read_name(std::span<const std::uint8_t> msg, ByteReader &in, std::size_t in_base) {
  DnsName name;
  std::size_t wire = 0;
  int jumps = 0;
  std::size_t run_start = in_base + in.pos();
  ByteReader jumped;
  ByteReader *cur = &in;
  auto broken = [&] {
    return NameResult{std::nullopt, cur == &in ? DecodeError::Truncated : DecodeError::BadName};
  };
  // Every turn either adds at least one octet to the name (at most kMaxName) or counts a
  // jump (at most kMaxJumps), so the loop has a fixed bound.
  for (;;) {
    auto len = cur->u8();
    if (!len) return broken();
    if (*len == 0) {
      if (++wire > kMaxName) return {std::nullopt, DecodeError::BadName};
      return {std::move(name), DecodeError::None};
    }
    switch (*len & 0xC0) {
      case 0x00: {
        wire += 1 + *len;
        // Room must stay for the root octet that ends the name.
        if (wire + 1 > kMaxName) return {std::nullopt, DecodeError::BadName};
        auto bytes = cur->take(*len);
        if (!bytes) return broken();
        name.labels.emplace_back(reinterpret_cast<const char *>(bytes->data()), bytes->size());
        break;
      }
      case 0xC0: {
        auto low = cur->u8();
        if (!low) return broken();
        const std::size_t target = (std::size_t(*len & 0x3F) << 8) | *low;
        if (++jumps > kMaxJumps || target >= run_start) return {std::nullopt, DecodeError::BadName};
        jumped = ByteReader(msg.subspan(target, run_start - target));
        cur = &jumped;
        run_start = target;
        break;
      }
      default:  // 0x40 extended and 0x80 reserved label types
        return {std::nullopt, DecodeError::BadName};
    }
  }
}

// Reads the RDATA of the types discovery uses; the reader holds exactly RDLENGTH octets
// and every type must fill it exactly.
bool read_rdata(std::span<const std::uint8_t> msg, ByteReader rd, std::size_t base, Record &rec) {
  switch (static_cast<RrType>(rec.type)) {
    case RrType::A:
      return rd.left() == 4 && rd.copy_to(rec.addr, 4);
    case RrType::AAAA:
      return rd.left() == 16 && rd.copy_to(rec.addr, 16);
    case RrType::PTR: {
      auto r = read_name(msg, rd, base);
      if (!r.name) return false;
      rec.ptr = std::move(*r.name);
      return rd.empty();
    }
    case RrType::SRV: {
      auto pri = rd.be16(), weight = rd.be16(), port = rd.be16();
      if (!pri || !weight || !port) return false;
      rec.srv.priority = *pri;
      rec.srv.weight = *weight;
      rec.srv.port = *port;
      auto r = read_name(msg, rd, base + 6);
      if (!r.name) return false;
      rec.srv.target = std::move(*r.name);
      return rd.empty();
    }
    case RrType::TXT:
      // At most RDLENGTH strings: each takes at least its length octet.
      while (!rd.empty()) {
        auto len = rd.u8();
        auto bytes = len ? rd.take(*len) : std::nullopt;
        if (!bytes) return false;
        rec.txt.emplace_back(reinterpret_cast<const char *>(bytes->data()), bytes->size());
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

DnsName DnsName::parse(std::string_view dotted) {
  DnsName name;
  std::size_t start = 0;
  while (start < dotted.size()) {
    std::size_t end = dotted.find('.', start);
    if (end == std::string_view::npos) end = dotted.size();
    if (end > start) name.labels.emplace_back(dotted.substr(start, end - start));
    start = end + 1;
  }
  return name;
}

std::string DnsName::text() const { return join(labels, false); }
std::string DnsName::key() const { return join(labels, true); }

DnsName DnsName::suffix(std::size_t n) const {
  DnsName out;
  if (n < labels.size()) out.labels.assign(labels.begin() + static_cast<std::ptrdiff_t>(n), labels.end());
  return out;
}

std::size_t DnsName::wire_size() const {
  std::size_t n = 1;
  for (const auto &label : labels) n += 1 + label.size();
  return n;
}

bool same_name(const DnsName &a, const DnsName &b) {
  if (a.labels.size() != b.labels.size()) return false;
  for (std::size_t i = 0; i < a.labels.size(); ++i) {
    const auto &x = a.labels[i], &y = b.labels[i];
    if (x.size() != y.size()) return false;
    for (std::size_t j = 0; j < x.size(); ++j)
      if (ascii_lower(x[j]) != ascii_lower(y[j])) return false;
  }
  return true;
}

std::optional<Message> decode_message(std::span<const std::uint8_t> datagram, DecodeError *error) {
  DecodeError scratch = DecodeError::None;
  DecodeError &err = error != nullptr ? *error : scratch;
  err = DecodeError::None;
  auto refuse = [&](DecodeError why) -> std::optional<Message> {
    err = why;
    return std::nullopt;
  };

  ByteReader r(datagram);
  Message m;
  auto id = r.be16(), flags = r.be16(), qd = r.be16(), an = r.be16(), ns = r.be16(), ar = r.be16();
  if (r.failed()) return refuse(DecodeError::Truncated);
  m.id = *id;
  m.flags = *flags;
  // The shortest question is a root name and four octets, the shortest record a root
  // name and ten: counts that need more than is left are lies, and believing them would
  // only size the vectors below for an attacker.
  const std::size_t records = std::size_t(*an) + *ns + *ar;
  if (std::size_t(*qd) * 5 + records * 11 > r.left()) return refuse(DecodeError::Counts);
  m.questions.reserve(*qd);
  m.records.reserve(records);
  m.answers = *an;

  for (unsigned i = 0; i < *qd; ++i) {
    auto name = read_name(datagram, r, 0);
    if (!name.name) return refuse(name.error);
    auto type = r.be16(), klass = r.be16();
    if (!type || !klass) return refuse(DecodeError::Truncated);
    m.questions.push_back({std::move(*name.name), *type, *klass});
  }
  for (std::size_t i = 0; i < records; ++i) {
    auto name = read_name(datagram, r, 0);
    if (!name.name) return refuse(name.error);
    auto type = r.be16(), klass = r.be16();
    auto ttl = r.be32();
    auto rdlength = r.be16();
    if (r.failed()) return refuse(DecodeError::Truncated);
    const std::size_t base = r.pos();
    auto rd = r.child(*rdlength);
    if (!rd) return refuse(DecodeError::Truncated);
    Record &rec = m.records.emplace_back();
    rec.name = std::move(*name.name);
    rec.type = *type;
    rec.klass = *klass & ~kClassTopBit;
    rec.ttl = *ttl;
    if (!read_rdata(datagram, *rd, base, rec)) return refuse(DecodeError::BadRdata);
  }
  return m;
}

std::optional<std::size_t> encode_query(const std::vector<Question> &questions,
                                        std::span<std::uint8_t> out) {
  if (questions.size() > 0xFFFF) return std::nullopt;
  ByteWriter w(out);
  w.be16(0);  // id: zero in multicast queries
  w.be16(0);  // flags: a standard query, nothing set
  w.be16(static_cast<std::uint16_t>(questions.size()));
  w.be16(0);
  w.be16(0);
  w.be16(0);
  for (const auto &q : questions) {
    if (q.name.wire_size() > kMaxName) return std::nullopt;
    for (const auto &label : q.name.labels) {
      if (label.empty() || label.size() > kMaxLabel) return std::nullopt;
      w.u8(static_cast<std::uint8_t>(label.size()));
      w.put(label.data(), label.size());
    }
    w.u8(0);
    w.be16(q.type);
    w.be16(q.klass);
  }
  if (w.failed()) return std::nullopt;
  return w.pos();
}

}  // namespace kivo8::mdns
