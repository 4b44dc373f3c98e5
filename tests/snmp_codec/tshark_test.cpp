// Our encoded messages dissected by tshark: an independent reader must find the version,
// community, PDU type, request id and every binding's name and value that we put in.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec_support.h"
#include "kivo8/mt_support.h"
#include "support/pcap.h"
#include "support/peers.h"

namespace {

using namespace kivo8::test;
using Oid = std::vector<std::uint32_t>;

struct Dissected {
  std::string version, community, data, request_id;
  std::vector<std::string> bindings;  // "name type value"
};

std::string trim(const std::string &s) {
  const auto a = s.find_first_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a);
}
std::string after(const std::string &line, const std::string &prefix) { return line.substr(prefix.size()); }
// "1.3.6.1 (iso.3.6.1)" -> "1.3.6.1"
std::string before_paren(const std::string &s) { return s.substr(0, s.find(" (")); }

std::vector<Dissected> dissect(const std::string &pcap) {
  const std::string text = sh_output("tshark -n -r '" + pcap + "' -V 2>/dev/null");
  std::vector<Dissected> out;
  std::istringstream in(text);
  std::string pending_name;
  for (std::string raw; std::getline(in, raw);) {
    const std::string line = trim(raw);
    if (line == "Simple Network Management Protocol") {
      out.emplace_back();
      continue;
    }
    if (out.empty()) continue;
    Dissected &d = out.back();
    if (line.rfind("version: ", 0) == 0) d.version = after(line, "version: ");
    else if (line.rfind("community: ", 0) == 0) d.community = after(line, "community: ");
    else if (line.rfind("data: ", 0) == 0) d.data = after(line, "data: ");
    else if (line.rfind("request-id: ", 0) == 0) d.request_id = after(line, "request-id: ");
    else if (line.rfind("Object Name: ", 0) == 0) pending_name = before_paren(after(line, "Object Name: "));
    else if (!pending_name.empty()) {
      if (line.rfind("Value (", 0) == 0) {
        const auto close = line.find(')');
        const std::string type = line.substr(7, close - 7);
        const std::string value = close + 3 <= line.size() ? before_paren(line.substr(close + 3)) : "";
        d.bindings.push_back(pending_name + " " + type + " " + value);
      } else {
        d.bindings.push_back(pending_name + " " + line + " ");
      }
      pending_name.clear();
    }
  }
  return out;
}

struct Bind {
  Oid name;
  std::uint8_t tag;
  Bytes raw;
  std::string shown;  // tshark's "type value"
};

template <typename T>
Bytes raw_of(const T &v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

std::string dotted(const Oid &o) {
  std::string s;
  for (std::size_t i = 0; i < o.size(); ++i) s += (i ? "." : "") + std::to_string(o[i]);
  return s;
}

struct Expected {
  std::int32_t version;
  std::string community;
  std::uint8_t command;
  std::uint32_t reqid;
  std::vector<Bind> binds;
  std::string version_text, data_text;
};

TEST(TsharkDissection, ReadsBackWhatWeEncoded) {
  KIVO8_REQUIRE_PROGRAM("tshark");
  ASSERT_EQ(mt_res_init(), 0);
  const Oid sys = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  const Oid descr = {1, 3, 6, 1, 2, 1, 1, 1, 0};
  const Oid big = {1, 3, 6, 1, 4, 1, 0xFFFFFFFF, 16384, 128, 0};
  const std::int32_t neg = -129;
  const std::uint32_t u = 0xFFFFFFFF;
  const counter64 c64{0x80000000, 5};
  const Oid value_oid = {1, 3, 6, 1, 4, 1, 2, 0x10000000};
  const std::uint8_t ip[4] = {192, 168, 1, 20};
  const std::uint8_t opaque[3] = {0x9F, 0x78, 0x04};
  Bytes oid_raw(value_oid.size() * 4);
  std::memcpy(oid_raw.data(), value_oid.data(), oid_raw.size());
  const std::vector<Expected> messages = {
      {0, "vellum", 0xA0, 1, {{descr, 0x05, {}, "Null "}, {sys, 0x05, {}, "Null "}}, "version-1 (0)", "get-request (0)"},
      {1, "public", 0xA1, 0x7FFFFFFF, {{big, 0x05, {}, "Null "}}, "v2c (1)", "get-next-request (1)"},
      {1, "private", 0xA3, 0x80000000,
       {{sys, 0x02, raw_of(neg), "Integer32 -129"},
        {sys, 0x04, Bytes{'l', 'a', 's', 'e', 'r'}, "OctetString \"laser\""},
        {sys, 0x06, oid_raw, "OID 1.3.6.1.4.1.2.268435456"},
        {sys, 0x40, Bytes(ip, ip + 4), "IpAddress 192.168.1.20"},
        {sys, 0x41, raw_of(u), "Counter32 4294967295"},
        {sys, 0x42, raw_of(std::uint32_t{7}), "Gauge32 7"},
        {sys, 0x43, raw_of(std::uint32_t{360000}), "Timeticks 360000"},
        {sys, 0x44, Bytes(opaque, opaque + 3), "Opaque 9f7804"},
        {sys, 0x46, raw_of(c64), "Counter64 9223372036854775813"},
        {sys, 0x80, {}, "noSuchObject "},
        {sys, 0x81, {}, "noSuchInstance "},
        {sys, 0x82, {}, "endOfMibView "}},
       "v2c (1)", "set-request (3)"},
      {0, "vellum", 0xA2, 42, {{sys, 0x04, Bytes{}, "OctetString <MISSING>"}}, "version-1 (0)", "get-response (2)"},
  };
  std::vector<Bytes> encoded;
  for (const Expected &e : messages) {
    PduPtr pdu(snmp_create_pdu(e.command));
    pdu->version = e.version;
    pdu->reqid = e.reqid;
    for (const Bind &b : e.binds)
      ASSERT_NE(snmp_pdu_add_variable(pdu.get(), b.name.data(), static_cast<std::uint32_t>(b.name.size()), b.tag,
                                      b.raw.data(), static_cast<std::uint32_t>(b.raw.size())),
                nullptr);
    Community community(e.community);
    snmp_session session{nullptr, -1, &community.entry, 0};
    encoded.push_back(encode(session, pdu.get()));
    ASSERT_FALSE(encoded.back().empty());
  }
  TempDir dir;
  const std::string pcap = dir.file("snmp.pcap");
  kivo8::test::write_snmp_pcap(pcap, encoded);
  const auto dissected = dissect(pcap);
  ASSERT_EQ(dissected.size(), messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(i);
    const Expected &e = messages[i];
    const Dissected &d = dissected[i];
    EXPECT_EQ(d.version, e.version_text);
    EXPECT_EQ(d.community, e.community);
    EXPECT_EQ(d.data, e.data_text);
    EXPECT_EQ(d.request_id, std::to_string(static_cast<std::int32_t>(e.reqid)));
    std::vector<std::string> want;
    for (const Bind &b : e.binds) want.push_back(dotted(b.name) + " " + b.shown);
    const std::vector<std::string> &got = d.bindings;
    EXPECT_EQ(got, want);
  }
  mt_res_free();
}

}  // namespace
