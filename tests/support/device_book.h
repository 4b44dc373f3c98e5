// The discovery engine in miniature, for the tests of one search: the book the search
// reports devices into, counting what it is told, and the follow-ups it starts when a
// device changes (a describing search, when the test sets one).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <set>

#include "discover/search.h"
#include "discover/searches.h"

namespace kivo8::test {

class RecordingBook : public kivo::discover::DeviceBook, public kivo::discover::FollowUps {
 public:
  using Device = kivo::discover::Device;

  Device *find_or_add(in_addr a, std::uint32_t how) override {
    Device &d = devices[a.s_addr];
    d.address = a;
    d.found_by |= how;
    return &d;
  }
  Device *find(in_addr a) override {
    auto it = devices.find(a.s_addr);
    return it == devices.end() ? nullptr : &it->second;
  }
  // A device with an engine id is handed once to `describer`, as the engine would.
  void changed(Device &d) override {
    ++changes;
    if (describer != nullptr && !d.engine_id.empty() && asked.insert(d.address.s_addr).second)
      (void)describer->follow_up(d, kivo::discover::Clock::now());
  }
  void follow_up_done(in_addr) override { ++follow_ups_done; }
  void note_dropped(std::uint64_t n) override { dropped += n; }
  void note_sent(std::uint64_t n) override { sent += n; }
  void note_answer(std::uint64_t n) override { answers += n; }
  void note_address_done(std::uint64_t n) override { done += n; }

  std::map<std::uint32_t, Device> devices;
  kivo::discover::FollowUpSearch *describer = nullptr;
  std::set<std::uint32_t> asked;
  std::uint64_t changes = 0, dropped = 0, sent = 0, answers = 0, done = 0, follow_ups_done = 0;
};

}  // namespace kivo8::test
