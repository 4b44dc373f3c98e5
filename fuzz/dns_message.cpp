// DNS-SD replies come from anyone on the link: the decoder must stay inside the datagram
// whatever its pointers, lengths and counts claim, and the collector must stay within
// its caps whatever the decoder let through.
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "mdns/collector.h"
#include "mdns/dns_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > 65536) return 0;
  kivo8::fuzz::ExactCopy in(data, size);
  const std::span<const std::uint8_t> bytes(in.bytes.get(), size);
  auto m = kivo8::mdns::decode_message(bytes);
  if (m) {
    for (const auto &q : m->questions)
      if (q.name.wire_size() > kivo8::mdns::kMaxName) __builtin_trap();
    for (const auto &r : m->records) {
      if (r.name.wire_size() > kivo8::mdns::kMaxName || r.ptr.wire_size() > kivo8::mdns::kMaxName) __builtin_trap();
      for (const auto &label : r.name.labels)
        if (label.size() > kivo8::mdns::kMaxLabel) __builtin_trap();
    }
    // Whatever decoded must encode again as questions when its names are lawful.
    std::uint8_t out[1024];
    if (!m->questions.empty() && m->questions.size() < 8) (void)kivo8::mdns::encode_query(m->questions, out);
  }
  kivo8::mdns::Limits limits;
  limits.max_instances = 16;
  limits.max_hosts = 16;
  limits.max_devices = 4;
  kivo8::mdns::Collector c(limits);
  c.feed(bytes, 0x0100000A, 0);
  c.feed(bytes, 0x0200000A, 1000);
  (void)c.followups(2000);
  auto devices = c.devices();
  if (devices.size() > limits.max_devices) __builtin_trap();
  for (const auto &d : devices)
    if (d.services.size() > limits.max_services_per_device) __builtin_trap();
  return 0;
}
