// kivo ipp against a printer of the tests' own on loopback: the readable form with
// collections indented and device text escaped, the JSON form, and the exit statuses.
#include <gtest/gtest.h>

#include "support/ipp_craft.h"
#include "support/ipp_server.h"
#include "support/kivo_run.h"

namespace kivo8::test::ipp {
namespace {

Bytes hostile_text_response() {
  return cat({header(0, 1), {0x01}, item(0x47, "attributes-charset", "utf-8"), {0x04},
              item(0x41, "printer-make-and-model", "Lab \x1b]0;owned\x07 9\r\nfake-line = 1"),
              int_item(0x23, "printer-state", 4),
              item(0x49, "document-format-supported", "application/pdf"),
              item(0x44, "ipp-versions-supported", "1.1"), item(0x44, "", "2.0"),
              item(0x34, "media-col-default", Bytes{}), item(0x4A, "", "media-size"), item(0x34, "", Bytes{}),
              item(0x4A, "", "x-dimension"), int_item(0x21, "", 21000), item(0x37, "", Bytes{}),
              item(0x4A, "", "media-type"), item(0x44, "", "stationery"), item(0x37, "", Bytes{}),
              item(0x33, "copies-supported", cat({be32(1), be32(99)})),
              item(0x35, "printer-info", cat({be16(2), str("de"), be16(4), str("Raum")})),
              item(0x13, "printer-alert", Bytes{}), {0x03}});
}

TEST(KivoIpp, ReadableFormEscapesDeviceTextAndIndentsCollections) {
  const Bytes body = hostile_text_response();
  IppServer server([&body](int fd, const Post &, IppServer &) {
    IppServer::send_all(fd, http_ok(std::string(body.begin(), body.end())));
  });
  TempDir home;
  const std::string uri = "ipp://127.0.0.1:" + std::to_string(server.port()) + "/ipp/print";
  const KivoResult r = run_kivo(nullptr, home, {"ipp", uri});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("printer-make-and-model = Lab \\x1b]0;owned\\x07 9\\r\\nfake-line = 1\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.out.find("\nfake-line"), std::string::npos);
  EXPECT_NE(r.out.find("media-col-default =\n  media-size =\n    x-dimension = 21000\n  media-type = stationery\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("ipp-versions-supported = 1.1, 2.0\n"), std::string::npos);
  EXPECT_NE(r.out.find("copies-supported = 1-99\n"), std::string::npos);
  EXPECT_NE(r.out.find("printer-state = 4 (processing)\n"), std::string::npos);
  EXPECT_NE(r.out.find("printer-info = Raum [de]\n"), std::string::npos);
  EXPECT_NE(r.out.find("printer-alert = (no-value)\n"), std::string::npos);
  EXPECT_NE(r.out.find("# driverless: yes\n"), std::string::npos);
}

TEST(KivoIpp, JsonFormKeepsTheExactText) {
  const Bytes body = hostile_text_response();
  IppServer server([&body](int fd, const Post &, IppServer &) {
    IppServer::send_all(fd, http_ok(std::string(body.begin(), body.end())));
  });
  TempDir home;
  const std::string uri = "ipp://127.0.0.1:" + std::to_string(server.port()) + "/ipp/print";
  const KivoResult r = run_kivo(nullptr, home, {"ipp", "--json", uri});
  ASSERT_EQ(r.status, 0) << r.err;
  bool ok = false;
  EXPECT_EQ(json_query(home, r.out, "d['attributes'][1]['values'][0]", &ok),
            "\"Lab \\u001b]0;owned\\u0007 9\\r\\nfake-line = 1\"");
  EXPECT_TRUE(ok) << r.out;
  EXPECT_EQ(json_query(home, r.out, "d['driverless']"), "true");
  EXPECT_EQ(json_query(home, r.out, "[a['values'] for a in d['attributes'] if a['name'] == 'media-col-default'][0]"),
            "[{\"media-size\": [{\"x-dimension\": [21000]}], \"media-type\": [\"stationery\"]}]");
  EXPECT_EQ(json_query(home, r.out, "[a['values'] for a in d['attributes'] if a['name'] == 'copies-supported'][0]"),
            "[{\"lower\": 1, \"upper\": 99}]");
}

TEST(KivoIpp, ExitStatusesTellWhatHappened) {
  TempDir home;
  EXPECT_EQ(run_kivo(nullptr, home, {"ipp"}).status, 2);
  EXPECT_EQ(run_kivo(nullptr, home, {"ipp", "http://127.0.0.1/"}).status, 2);
  EXPECT_EQ(run_kivo(nullptr, home, {"ipp", "--timeout", "0", "ipp://127.0.0.1/"}).status, 2);
  EXPECT_EQ(run_kivo(nullptr, home, {"ipp", "--help"}).status, 0);
  UniqueFd closed = loopback_socket(false);
  const KivoResult r =
      run_kivo(nullptr, home, {"ipp", "ipp://127.0.0.1:" + std::to_string(bound_port(closed.get())) + "/ipp/print"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kivo8::test::ipp
