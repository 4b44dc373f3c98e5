// The HTTP side of IPP: the POST head we send and the response reader, fed whole and one
// byte at a time, against honest responses and ones that lie about their size.
#include <gtest/gtest.h>

#include <string>

#include "ipp/http.h"

namespace kivo8::ipp {
namespace {

struct Read {
  HttpRead result;
  int status;
  std::string body;
};

Read read_all(const std::string &wire, bool close_after, std::size_t piece) {
  HttpResponseReader r;
  HttpRead res = HttpRead::NeedMore;
  for (std::size_t at = 0; at < wire.size() && res == HttpRead::NeedMore; at += piece) {
    const std::size_t n = std::min(piece, wire.size() - at);
    res = r.feed(std::span(reinterpret_cast<const std::uint8_t *>(wire.data()) + at, n));
  }
  if (close_after) res = r.finish();
  return {res, r.status(), std::string(r.body().begin(), r.body().end())};
}

TEST(IppHttp, PostHeadCarriesTheBodyLengthAndType) {
  EXPECT_EQ(http_post_head("printer.local:8631", "/ipp/print", 123),
            "POST /ipp/print HTTP/1.1\r\nHost: printer.local:8631\r\n"
            "Content-Type: application/ipp\r\nContent-Length: 123\r\n"
            "Connection: close\r\nUser-Agent: kivo8\r\n\r\n");
  EXPECT_EQ(http_post_head("h", "/a\r\nX-Injected: 1", 1), "");
  EXPECT_EQ(http_post_head("h\n", "/", 1), "");
  EXPECT_EQ(http_post_head("h", "relative", 1), "");
}

TEST(IppHttp, ResponsesAreReadAlikeWholeAndByteByByte) {
  const std::string big_length = "HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n";
  const struct {
    const char *name;
    std::string wire;
    bool close_after;
    HttpRead want;
    std::string body;
  } cases[] = {
      {"content-length body", "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: 5\r\n\r\nhello", false,
       HttpRead::Done, "hello"},
      {"bytes after the body are ignored", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhiXXXX", false,
       HttpRead::Done, "hi"},
      {"bare LF line ends", "HTTP/1.0 200 OK\nContent-Length: 2\n\nhi", false, HttpRead::Done, "hi"},
      {"chunked body with extension and trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n02\r\nde\r\n0\r\nX-T: 1\r\n\r\n", false,
       HttpRead::Done, "abcde"},
      {"chunked wins over content-length",
       "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: Chunked\r\n\r\n1\r\na\r\n0\r\n\r\n", false,
       HttpRead::Done, "a"},
      {"body up to the close", "HTTP/1.1 200 OK\r\n\r\nuntil close", true, HttpRead::Done, "until close"},
      {"interim 100 before the answer",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz", false, HttpRead::Done, "z"},
      {"empty body", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, HttpRead::Done, ""},
      {"4 GiB content-length", big_length, false, HttpRead::BodyTooBig, ""},
      {"content-length one past the cap",
       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kMaxBody + 1) + "\r\n\r\n", false,
       HttpRead::BodyTooBig, ""},
      {"content-length of 30 digits", "HTTP/1.1 200 OK\r\nContent-Length: 999999999999999999999999999999\r\n\r\n",
       false, HttpRead::BodyTooBig, ""},
      {"two content-lengths that disagree", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
       false, HttpRead::BadHeader, ""},
      {"negative content-length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, HttpRead::BadHeader, ""},
      {"chunk size past the cap", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n", false,
       HttpRead::BodyTooBig, ""},
      {"chunks that add up past the cap",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000\r\n" + std::string(0x80000, 'a') +
           "\r\n80001\r\n",
       false, HttpRead::BodyTooBig, ""},
      {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
       HttpRead::BadChunk, ""},
      {"chunk data without its CRLF",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\naXY\r\n", false, HttpRead::BadChunk, ""},
      {"endless chunk-size line",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(5000, '0'), false,
       HttpRead::BadChunk, ""},
      {"gzip transfer encoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", false,
       HttpRead::UnsupportedEncoding, ""},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, HttpRead::BadStatusLine, ""},
      {"header line without colon", "HTTP/1.1 200 OK\r\nNoColon\r\n\r\n", false, HttpRead::BadHeader, ""},
      {"folded header line", "HTTP/1.1 200 OK\r\nA: b\r\n c\r\n\r\n", false, HttpRead::BadHeader, ""},
      {"endless header", "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxHeader, 'x'), false, HttpRead::HeaderTooBig,
       ""},
      {"many header lines", "HTTP/1.1 200 OK\r\n" + [] {
         std::string s;
         for (int i = 0; i < 5000; ++i) s += "X: y\r\n";
         return s;
       }(), false, HttpRead::HeaderTooBig, ""},
      {"closed inside the body", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", true, HttpRead::Truncated,
       "abc"},
      {"closed inside a chunked body",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true, HttpRead::Truncated, "ab"},
      {"closed inside the head", "HTTP/1.1 200 OK\r\nContent-Le", true, HttpRead::Truncated, ""},
      {"body to the close past the cap", "HTTP/1.1 200 OK\r\n\r\n" + std::string(kMaxBody + 1, 'b'), true,
       HttpRead::BodyTooBig, ""},
  };
  for (const auto &c : cases) {
    for (std::size_t piece : {c.wire.size() + 1, std::size_t{1}, std::size_t{7}}) {
      if (piece == 1 && c.wire.size() > 100000) continue;
      SCOPED_TRACE(testing::Message() << c.name << ", pieces of " << piece);
      const Read r = read_all(c.wire, c.close_after, piece);
      EXPECT_EQ(r.result, c.want) << http_read_text(r.result);
      if (c.want == HttpRead::Done || c.want == HttpRead::Truncated) {
        EXPECT_EQ(r.body, c.body);
      }
      if (c.want == HttpRead::Done) {
        EXPECT_EQ(r.status, 200);
      }
    }
  }
}

TEST(IppHttp, StatusAndTypeAreKept) {
  const Read r = read_all("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false, 1);
  EXPECT_EQ(r.result, HttpRead::Done);
  EXPECT_EQ(r.status, 404);
  HttpResponseReader reader;
  const std::string wire = "HTTP/1.1 200 OK\r\ncontent-type:  application/ipp \r\ncontent-length: 0\r\n\r\n";
  EXPECT_EQ(reader.feed(std::span(reinterpret_cast<const std::uint8_t *>(wire.data()), wire.size())),
            HttpRead::Done);
  EXPECT_EQ(reader.content_type(), "application/ipp");
}

}  // namespace
}  // namespace kivo8::ipp
