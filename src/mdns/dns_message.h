// DNS messages as multicast DNS uses them: a decoder for the replies, which come from
// anyone on the link and are read only through the bounded ByteReader, and an encoder
// for the small queries we send.
//
// Names are kept as their labels, raw octets (an instance label is UTF-8 and may hold
// dots). A name on the wire may be compressed; the decoder follows a pointer only to an
// offset before the run of labels that holds it, so every jump goes strictly backward
// and no chain of pointers can loop, and it refuses more than kMaxJumps jumps, labels
// over 63 octets, names over 255 octets and the reserved label types.
//
// A damaged message is refused whole: counts that the datagram cannot hold, a record
// whose data runs past its RDLENGTH or past the datagram, a name that breaks a rule above.
// Nothing of it is kept, so a forged tail cannot ride on a valid head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivo8::mdns {

inline constexpr std::size_t kMaxLabel = 63;
inline constexpr std::size_t kMaxName = 255;  // wire form: length octets and the root
inline constexpr int kMaxJumps = 64;

enum class RrType : std::uint16_t { A = 1, PTR = 12, TXT = 16, AAAA = 28, SRV = 33, ANY = 255 };
inline constexpr std::uint16_t kClassIn = 1;
// The top bit of a question's class asks for a unicast reply; of a record's class, it
// tells the cache to flush older records of the name. Neither is part of the class.
inline constexpr std::uint16_t kClassTopBit = 0x8000;

struct DnsName {
  std::vector<std::string> labels;

  static DnsName parse(std::string_view dotted);  // "_ipp._tcp.local"; no escapes
  // Labels joined by '.', a '.' or '\' inside a label escaped with '\'.
  std::string text() const;
  // The same in ASCII lower case: names compare without regard to ASCII case.
  std::string key() const;
  // The name without its first `n` labels.
  DnsName suffix(std::size_t n) const;
  std::size_t wire_size() const;
};
bool same_name(const DnsName &a, const DnsName &b);

struct Question {
  DnsName name;
  std::uint16_t type = 0;
  std::uint16_t klass = kClassIn;  // top bit included as sent
};

struct SrvData {
  std::uint16_t priority = 0;
  std::uint16_t weight = 0;
  std::uint16_t port = 0;
  DnsName target;
};

struct Record {
  DnsName name;
  std::uint16_t type = 0;
  std::uint16_t klass = 0;  // top bit (cache flush) removed
  std::uint32_t ttl = 0;
  // Decoded data of the types discovery reads; other types keep none.
  DnsName ptr;
  SrvData srv;
  std::vector<std::string> txt;
  std::uint8_t addr[16] = {};  // A: first 4 octets; AAAA: all 16
};

struct Message {
  std::uint16_t id = 0;
  std::uint16_t flags = 0;
  std::vector<Question> questions;
  // Answers, authority and additional records in the order sent; `answers` tells how
  // many of the first ones were answers.
  std::vector<Record> records;
  std::size_t answers = 0;

  bool is_response() const { return (flags & 0x8000) != 0; }
  unsigned opcode() const { return (flags >> 11) & 0xF; }
  unsigned rcode() const { return flags & 0xF; }
};

enum class DecodeError {
  None,
  Truncated,      // the datagram ends inside the header, a question or a record
  Counts,         // the counts claim more than the datagram can hold
  BadName,        // a label or name too long, a reserved label type, a bad pointer
  BadRdata,       // data that does not fill its RDLENGTH exactly as its type says
};

// Decodes a whole message; on failure gives nothing and says why in `error`.
std::optional<Message> decode_message(std::span<const std::uint8_t> datagram,
                                      DecodeError *error = nullptr);

// Encodes a query with id 0 and no flags set (a one-shot multicast query), names
// uncompressed. Nothing when `out` is too small or a name breaks the length rules.
std::optional<std::size_t> encode_query(const std::vector<Question> &questions,
                                        std::span<std::uint8_t> out);

}  // namespace kivo8::mdns
