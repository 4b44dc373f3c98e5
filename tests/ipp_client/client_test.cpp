// kivo_ipp_get_printer_attributes against printers of the tests' own on loopback: an
// honest one, one without /ipp/print, and hostile ones that lie about lengths, send
// endless or endlessly nested attributes, trickle, or never finish a TLS handshake. Each
// call ends by its time-out with a clear result.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ipp/message.h"
#include "kivo8/ipp.h"
#include "support/ipp_craft.h"
#include "support/ipp_server.h"

namespace kivo8::test::ipp {
namespace {

std::string as_text(const Bytes &b) { return std::string(b.begin(), b.end()); }

struct Call {
  int32_t code;
  kivo_ipp_result *result;
  double seconds;
  ~Call() { kivo_ipp_result_free(result); }
};

std::unique_ptr<Call> call(const std::string &uri, uint32_t timeout_ms = 3000, uint32_t flags = 0) {
  kivo_ipp_options opt{};
  opt.size = sizeof opt;
  opt.timeout_ms = timeout_ms;
  opt.flags = flags;
  opt.user = "kivo-test";
  auto c = std::make_unique<Call>();
  const auto start = std::chrono::steady_clock::now();
  c->code = kivo_ipp_get_printer_attributes(uri.c_str(), &opt, &c->result);
  c->seconds = seconds_since(start);
  return c;
}

std::string uri_of(const IppServer &s, const std::string &path = "/ipp/print") {
  return "ipp://127.0.0.1:" + std::to_string(s.port()) + path;
}

TEST(IppClient, HonestPrinterGivesItsAttributesAndTheRequestIsOurs) {
  IppServer server([](int fd, const Post &, IppServer &) {
    IppServer::send_all(fd, http_ok(as_text(small_response())));
  });
  auto c = call(uri_of(server));
  ASSERT_EQ(c->code, KIVO_IPP_OK) << c->result->error;
  EXPECT_STREQ(c->result->error, "");
  EXPECT_EQ(c->result->http_status, 200);
  EXPECT_EQ(c->result->ipp_status, 0);
  const kivo_ipp_attribute *mm = kivo_ipp_find(c->result, "printer-make-and-model");
  ASSERT_NE(mm, nullptr);
  EXPECT_EQ(std::string(mm->values[0].text, mm->values[0].text_length), "Kivo Lab 9");
  const kivo_ipp_attribute *col = kivo_ipp_find(c->result, "media-col-default");
  ASSERT_NE(col, nullptr);
  ASSERT_EQ(col->values[0].member_count, 2u);
  EXPECT_STREQ(col->values[0].members[0].values[0].members[1].name, "y-dimension");
  // small_response has no ipp-versions-supported: not driverless.
  EXPECT_EQ(kivo_ipp_driverless(c->result), 0);

  const auto posts = server.posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/ipp/print");
  EXPECT_NE(posts[0].head.find("Content-Type: application/ipp\r\n"), std::string::npos);
  kivo8::ipp::Message request;
  ASSERT_EQ(kivo8::ipp::decode(Bytes(posts[0].body.begin(), posts[0].body.end()), request),
            kivo8::ipp::Decode::Ok);
  EXPECT_EQ(request.code, kivo8::ipp::kOpGetPrinterAttributes);
  EXPECT_EQ(request.find("printer-uri")->first()->text, uri_of(server));
  EXPECT_EQ(request.find("requesting-user-name")->first()->text, "kivo-test");
  EXPECT_EQ(request.find("requested-attributes")->values.size(), 18u);
}

TEST(IppClient, WithoutAResourceTheUsualOnesAreTriedInTurn) {
  IppServer server([](int fd, const Post &post, IppServer &) {
    if (post.path == "/ipp")
      IppServer::send_all(fd, http_ok(as_text(small_response())));
    else
      IppServer::send_all(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  });
  auto c = call("ipp://127.0.0.1:" + std::to_string(server.port()));
  ASSERT_EQ(c->code, KIVO_IPP_OK) << c->result->error;
  EXPECT_EQ(std::string(c->result->uri), uri_of(server, "/ipp"));
  const auto posts = server.posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].path, "/ipp/print");
}

TEST(IppClient, DriverlessNeedsAFormatAndVersionTwo) {
  const struct {
    const char *name;
    const char *format;
    const char *version;
    int32_t want;
  } cases[] = {
      {"pwg raster and 2.0", "image/pwg-raster", "2.0", 1},
      {"pdf and 2.2", "application/pdf", "2.2", 1},
      {"pdf but only 1.1", "application/pdf", "1.1", 0},
      {"2.0 but only postscript", "application/postscript", "2.0", 0},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(t.name);
    const Bytes body = cat({header(0, 1), {0x01}, item(0x47, "attributes-charset", "utf-8"), {0x04},
                            item(0x49, "document-format-supported", "application/octet-stream"),
                            item(0x49, "", t.format), item(0x44, "ipp-versions-supported", "1.0"),
                            item(0x44, "", t.version), {0x03}});
    IppServer server([&body](int fd, const Post &, IppServer &) { IppServer::send_all(fd, http_ok(as_text(body))); });
    auto c = call(uri_of(server));
    ASSERT_EQ(c->code, KIVO_IPP_OK) << c->result->error;
    EXPECT_EQ(kivo_ipp_driverless(c->result), t.want);
  }
}

TEST(IppClient, HostilePrintersEndInAClearFailureByTheTimeOut) {
  std::string chunked_lie = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n0123456789abcdef\r\n7FFFFFFF\r\n";
  const struct {
    const char *name;
    std::string reply;
    int32_t want;
  } cases[] = {
      {"value length past the end", http_ok(as_text(cat({header(), {0x04, 0x21, 0, 1, 'a', 0x7F, 0xFF, 0, 0}}))),
       KIVO_IPP_EPROTO},
      {"100,000 attributes", http_ok(as_text(many_attributes(100000))), KIVO_IPP_ETOOBIG},
      {"10,000 attributes past the cap", http_ok(as_text(many_attributes(10001))), KIVO_IPP_EPROTO},
      {"collections 10,000 deep", http_ok(as_text(nested_collections(10000))), KIVO_IPP_EPROTO},
      {"chunked body that lies", chunked_lie, KIVO_IPP_ETOOBIG},
      {"4 GiB content-length", "HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n", KIVO_IPP_ETOOBIG},
      {"IPP error status", http_ok(as_text(cat({header(0x0400), {0x01}, item(0x47, "attributes-charset", "utf-8"), {0x03}}))),
       KIVO_IPP_ESTATUS},
      {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n", KIVO_IPP_EHTTP},
      {"closed mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc", KIVO_IPP_EHTTP},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(t.name);
    IppServer server([&t](int fd, const Post &, IppServer &) { IppServer::send_all(fd, t.reply); });
    auto c = call(uri_of(server), 3000);
    EXPECT_EQ(c->code, t.want) << c->result->error;
    EXPECT_EQ(c->result->code, t.want);
    EXPECT_STRNE(c->result->error, "");
    // An IPP error keeps the answer's operation attributes (status-message, say).
    if (t.want != KIVO_IPP_ESTATUS) {
      EXPECT_EQ(c->result->attribute_count, 0u);
    }
    EXPECT_LT(c->seconds, 3.0 + 2.0);
  }
}

// The time-out bounds the whole call: a printer that trickles a byte a second, one that
// never answers, and an ipps:// port that accepts but never completes the handshake.
TEST(IppClient, StallingPrintersAreCutOffAtTheTimeOut) {
  const struct {
    const char *name;
    bool tls;
    bool read_request;
    std::function<void(int, const Post &, IppServer &)> reply;
  } cases[] = {
      {"trickling a byte a second", false, true,
       [](int fd, const Post &, IppServer &s) {
         const std::string all = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'x');
         for (char ch : all) {
           if (s.stopping() || ::send(fd, &ch, 1, MSG_NOSIGNAL) != 1) return;
           s.nap(1000);
         }
       }},
      {"never answering", false, true, [](int, const Post &, IppServer &s) { while (!s.stopping()) s.nap(100); }},
      {"TLS handshake never completed", true, false,
       [](int, const Post &, IppServer &s) { while (!s.stopping()) s.nap(100); }},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(t.name);
    IppServer server(t.reply, t.read_request);
    const std::string uri = std::string(t.tls ? "ipps" : "ipp") + "://127.0.0.1:" + std::to_string(server.port()) + "/ipp/print";
    auto c = call(uri, 1500);
    EXPECT_EQ(c->code, KIVO_IPP_ETIMEDOUT) << c->result->error;
    EXPECT_NE(std::string(c->result->error).find("timed out"), std::string::npos);
    EXPECT_GE(c->seconds, 1.4);
    EXPECT_LT(c->seconds, 1.5 + 3.0);  // generous: a loaded machine must not break it
  }
}

TEST(IppClient, BadArgumentsAndUnreachablePrinters) {
  kivo_ipp_result *r = reinterpret_cast<kivo_ipp_result *>(1);
  EXPECT_EQ(kivo_ipp_get_printer_attributes(nullptr, nullptr, &r), KIVO_IPP_EINVAL);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(kivo_ipp_get_printer_attributes("ipp://h/", nullptr, nullptr), KIVO_IPP_EINVAL);
  const struct {
    const char *uri;
    int32_t want;
  } cases[] = {
      {"http://127.0.0.1/", KIVO_IPP_EINVAL},
      {"ipp://user@127.0.0.1/", KIVO_IPP_EINVAL},
      {"ipp://127.0.0.1:0/", KIVO_IPP_EINVAL},
      {"ipp://127.0.0.1:65536/", KIVO_IPP_EINVAL},
      {"ipp://127.0.0.1/a b", KIVO_IPP_EINVAL},
      {"ipp://[::1/", KIVO_IPP_EINVAL},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(t.uri);
    auto c = call(t.uri, 1000);
    EXPECT_EQ(c->code, t.want);
    ASSERT_NE(c->result, nullptr);
    EXPECT_STRNE(c->result->error, "");
  }
  // A port bound but not listening refuses at once.
  UniqueFd closed = loopback_socket(false);
  auto c = call("ipp://127.0.0.1:" + std::to_string(bound_port(closed.get())) + "/ipp/print", 1000);
  EXPECT_EQ(c->code, KIVO_IPP_ECONNECT);
  EXPECT_NE(std::string(c->result->error).find("refused"), std::string::npos) << c->result->error;
}

}  // namespace
}  // namespace kivo8::test::ipp
