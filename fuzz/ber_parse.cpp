// Every BER parse function on bytes from the outside world. The first byte picks the
// function and, for those that take one, the capacity of the destination; the rest is the
// element, in a block of exactly its size. Any input must be refused or read within bounds.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "kivo8/asn1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t selector = data[0];
  kivo8::fuzz::ExactCopy in(data + 1, size - 1);
  const std::uint8_t *p = in.bytes.get();
  const auto length = static_cast<std::uint32_t>(in.size);
  std::uint32_t left = length;
  std::uint8_t type = 0;
  // Capacities from tiny to roomy, so that both "too small" and "fits" are reached.
  const std::uint32_t capacity = 1u + (selector >> 4) * 17u;
  const std::uint8_t *end = nullptr;
  switch (selector & 0x0F) {
    case 0: end = asn_parse_header(p, &left, &type); break;
    case 1: end = asn_parse_sequence(p, &left, &type, 0x30); break;
    case 2: {
      std::int32_t v;
      end = asn_parse_int(p, &left, &type, &v, 4);
      break;
    }
    case 3: {
      std::uint32_t v;
      end = asn_parse_unsigned_int(p, &left, &type, &v, 4);
      break;
    }
    case 4: {
      counter64 v;
      end = asn_parse_unsigned_int64(p, &left, &type, &v, 8);
      break;
    }
    case 5: {
      std::vector<std::uint8_t> out(capacity);
      std::uint32_t n = capacity;
      end = asn_parse_string(p, &left, &type, out.data(), &n);
      if (end != nullptr && n > capacity) __builtin_trap();
      break;
    }
    case 6: {
      std::vector<std::uint8_t> out(capacity);
      std::uint32_t n = capacity;
      end = asn_parse_bitstring(p, &left, &type, out.data(), &n);
      if (end != nullptr && n > capacity) __builtin_trap();
      break;
    }
    case 7: {
      std::vector<std::uint32_t> out(capacity + 1);
      std::uint32_t n = capacity + 1;
      end = asn_parse_objid(p, &left, &type, out.data(), &n);
      if (end != nullptr && n > capacity + 1) __builtin_trap();
      break;
    }
    case 8: end = asn_parse_null(p, &left, &type); break;
    case 9: {
      // This one has no count: give it only inputs that hold the five octets it may read.
      if (in.size >= 5) {
        std::uint32_t n;
        end = asn_parse_length(p, &n);
      }
      return 0;
    }
    case 10: {
      const std::int32_t r = asn_check_packet(p, static_cast<std::int32_t>(length));
      if (r > 0 && r < 2) __builtin_trap();
      return 0;
    }
    default:
      return 0;
  }
  // The cursor convention: a result lies inside the input and the count matches it.
  if (end != nullptr) {
    if (end < p || end > p + length) __builtin_trap();
    const unsigned sel = selector & 0x0F;
    if (sel != 0 && sel != 1 && left != length - static_cast<std::uint32_t>(end - p)) __builtin_trap();
    if ((sel == 0 || sel == 1) && end + left > p + length) __builtin_trap();
  }
  return 0;
}
