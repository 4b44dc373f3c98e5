// The library's own SNMP message: one type for v1 and v2c messages and for the PDU inside
// an SNMPv3 scoped PDU, decoded from a span and encoded into one (library-internal).
//
// A decoded Message is a view: the community and every value's octets point into the
// datagram, which must outlive it. Names (and OBJECT IDENTIFIER values) are decoded once,
// into a store inside the Message; integers are decoded once into Binding::number. A
// usual message (up to kInlineBindings bindings whose names fit kInlineArcs arcs) is
// decoded with no allocation at all; a longer one takes one block for the bindings and
// one for the arcs, each sized up front from the bytes left, so neither ever grows.
//
// The Message is neither copied nor moved: its bindings point into its own store. The
// exported C records (snmp_pdu, snmp_session) are made from it, and turned into its
// encoder's input, only by the adapters in message.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <span>

#include "asn1/ber.h"
#include "core/alloc.h"
#include "core/bytes.h"
#include "snmp/message.h"

namespace kivo8::snmp {

inline constexpr std::size_t kInlineBindings = 32;
inline constexpr std::size_t kInlineArcs = 640;
// The least a binding takes in the list: SEQUENCE, name and value headers with nothing
// inside them (an empty name is the single arc 0).
inline constexpr std::size_t kLeastBinding = 6;

// One binding, decoded or to be encoded. `value` holds the contents octets of a string,
// address, opaque or bit string value; `number` the value of an INTEGER (sign-extended),
// a 32-bit unsigned type or a Counter64; `oid` an OBJECT IDENTIFIER value's arcs.
struct Binding {
  std::span<const std::uint32_t> name;
  std::uint8_t type = 0;
  bool known = true;  // decoded: false when the value type is not one this codec reads
  std::uint64_t number = 0;
  std::span<const std::uint8_t> value;
  std::span<const std::uint32_t> oid;

  std::int32_t integer() const noexcept { return static_cast<std::int32_t>(number); }
  std::uint32_t unsigned32() const noexcept { return static_cast<std::uint32_t>(number); }
};

static_assert(std::is_trivially_copyable_v<Binding> && std::is_trivially_destructible_v<Binding>);

// How far a decode went before it stopped, so that the adapters can hand over exactly
// the fields that the documented decoders leave filled in on failure.
enum class Reached : std::uint8_t {
  nothing,
  version,      // version and community read
  community,    // version accepted
  type,         // PDU element opened
  request_id,
  error_status,
  error_index,  // the whole PDU header; bindings follow
};

// A binding on which decoding stopped: `bare` when its header, name or value header was
// unreadable, `named` when its value was refused after its name and type were read.
enum class Cut : std::uint8_t { none, bare, named };

class Message {
 public:
  // The inline stores are left uninitialised on purpose (see below).
  // cppcheck-suppress uninitMemberVar
  Message() noexcept = default;
  Message(const Message &) = delete;
  Message &operator=(const Message &) = delete;

  // A whole v1/v2c message. `fixed_version` is the version required, or -1 to take 0 or
  // 1 from the message. Bytes after the message's SEQUENCE are not read.
  CodecError decode(std::span<const std::uint8_t> datagram, std::int32_t fixed_version = -1) noexcept;
  // The PDU element at the front of `r` (an SNMPv3 scoped PDU's, or the adapters').
  // `r` is moved past the element.
  CodecError decode_pdu(ByteReader &r) noexcept;

  std::int32_t version = 0;
  std::span<const std::uint8_t> community;
  std::uint8_t type = 0;
  std::uint32_t request_id = 0;
  std::int32_t error_status = 0;  // non-repeaters in a GetBulk
  std::int32_t error_index = 0;   // max-repetitions in a GetBulk
  std::uint32_t unknown_types = 0;
  Reached reached = Reached::nothing;
  Cut cut = Cut::none;
  // What was read of the binding decoding stopped on (when `cut` is not none).
  const Binding &cut_binding() const noexcept { return bindings_[count_]; }

  std::span<const Binding> bindings() const noexcept { return {bindings_, count_}; }

  // The adapter that views an exported PDU as a message (message.cpp).
  friend CodecError message_of(const snmp_pdu &pdu, Message &m) noexcept;

 private:
  struct Free {
    void operator()(void *p) const noexcept { mem_free(p); }
  };
  bool room_for_binding(std::size_t bytes_left) noexcept {
    return count_ < capacity_ || grow_bindings(bytes_left);
  }
  bool room_for_arcs(std::size_t bytes_left) noexcept {
    return arcs_left_ >= ber::kMaxObjid || grow_arcs(bytes_left);
  }
  bool grow_bindings(std::size_t bytes_left) noexcept;
  bool grow_arcs(std::size_t bytes_left) noexcept;
  std::span<const std::uint32_t> take_arcs(std::uint32_t count) noexcept;

  // Left uninitialised: a binding is written in place before it is read, and clearing
  // 2 KiB for every datagram would cost more than decoding a usual one.
  alignas(Binding) unsigned char inline_bindings_[kInlineBindings * sizeof(Binding)];
  std::uint32_t inline_arcs_[kInlineArcs];
  std::unique_ptr<Binding[], Free> more_bindings_;
  std::unique_ptr<std::uint32_t[], Free> more_arcs_;
  Binding *bindings_ = reinterpret_cast<Binding *>(inline_bindings_);
  std::size_t count_ = 0;
  std::size_t capacity_ = kInlineBindings;
  std::uint32_t *arcs_ = inline_arcs_;
  std::size_t arcs_left_ = kInlineArcs;
};

// Whether the decoder reads values of this type (the others are counted as unknown).
bool known_value_type(std::uint8_t type) noexcept;

// The version number of a message (v1, v2c or v3), read no further than that; nothing
// when its header or version is unreadable.
std::optional<std::int32_t> peek_version(std::span<const std::uint8_t> datagram) noexcept;

// What an encoder writes: the same fields as a decoded Message.
struct Outgoing {
  std::int32_t version = 0;
  std::span<const std::uint8_t> community;
  std::uint8_t type = 0;
  std::uint32_t request_id = 0;
  std::int32_t error_status = 0;
  std::int32_t error_index = 0;
  std::span<const Binding> bindings;
};

// One binding; false when it cannot be written (no room, a name or OID value that cannot
// be encoded, a bit string without its unused-bits octet, an unknown type).
bool write_binding(ByteWriter &w, const Binding &b) noexcept;

// The PDU element in two steps, so that bindings can be written one by one between them.
class PduWriter {
 public:
  bool begin(ByteWriter &w, std::uint8_t type, std::uint32_t request_id, std::int32_t error_status,
             std::int32_t error_index) noexcept;
  bool end(ByteWriter &w) noexcept;

 private:
  std::uint8_t type_ = 0;
  ber::HeaderSlot pdu_, list_;
};

bool write_pdu(ByteWriter &w, const Outgoing &m) noexcept;

// The whole v1/v2c message: its length, or 0 when it cannot be written in `out`.
std::size_t encode(const Outgoing &m, std::span<std::uint8_t> out) noexcept;

// Bindings of NULL values for the names of a request.
template <typename Names>
std::size_t null_bindings(const Names &names, std::span<Binding> out) noexcept {
  std::size_t n = 0;
  for (const auto &name : names) {
    if (n == out.size()) return 0;
    out[n].name = std::span<const std::uint32_t>(name);
    out[n].type = 0x05;
    ++n;
  }
  return n;
}

}  // namespace kivo8::snmp
