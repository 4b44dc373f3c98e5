// snmpsim agents as test peers: made-up devices with data of the test's own, usually one
// per network namespace so that several answer one broadcast.
#pragma once

#include <string>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

// One line of an .snmprec data file: OID|tag|value (tag "4" OCTET STRING, "2" INTEGER,
// "6" OBJECT IDENTIFIER, "64" IpAddress, "65" Counter32, "66" Gauge32, "67" TimeTicks).
// A tag may name one of snmpsim's variation modules, e.g. "4:delay" with the value
// "value=text,wait=300" answers after 300 ms.
struct SnmprecLine {
  std::string oid;
  std::string tag;
  std::string value;
};

// Which of snmpsimd's two protocol stacks answers. The lighter v1/v2c one never finishes
// a GetBulkRequest that runs past the last record (it stops answering altogether): an
// agent that may be asked by GETBULK runs the full stack.
enum class SnmpsimStack { v2c, full };

// snmpsimd answering v1 and v2c for `community` on `endpoint` inside namespace `netns`
// (empty: the test's own namespace), with the given data. Waits until it answers.
class Snmpsim {
 public:
  Snmpsim(const std::string &netns, const std::vector<SnmprecLine> &data,
          const std::string &endpoint = "0.0.0.0:161", const std::string &community = "vellum",
          SnmpsimStack stack = SnmpsimStack::v2c);
  ~Snmpsim();
  Snmpsim(const Snmpsim &) = delete;
  Snmpsim &operator=(const Snmpsim &) = delete;

  // Waits up to `seconds` for the agent to answer a GET of its first line from inside its
  // namespace; true once it does. The constructor does not wait, so several agents can
  // start in parallel.
  bool wait_ready(double seconds = 30);
  void stop();

 private:
  std::string netns_;
  std::string endpoint_;
  std::string community_;
  std::string first_oid_;
  TempDir dir_;
  Process process_;
};

// Name of the installed snmpsim responder program (empty when none is installed).
std::string snmpsim_program();

// Skips the test (or fails it in CI) when snmpsim is not installed, under whichever of
// its program names. Use at the top of a test, like KIVO8_REQUIRE_PROGRAM.
#define KIVO8_REQUIRE_SNMPSIM()                                                \
  do {                                                                         \
    if (::kivo8::test::snmpsim_program().empty()) {                            \
      if (::kivo8::test::in_ci()) FAIL() << "required peer program missing: snmpsim"; \
      GTEST_SKIP() << "snmpsim is not installed";                              \
    }                                                                          \
  } while (0)

}  // namespace kivo8::test
