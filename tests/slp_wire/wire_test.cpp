#include <arpa/inet.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/alloc.h"
#include "kivo8/mt_support.h"
#include "kivo8/slp_sess.h"
#include "slp/slp_internal.h"
#include "support/alloc_failure.h"
#include "support/peers.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kivo8::test::sweep_allocation_failures;

void put16(Bytes &b, unsigned v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
void put_text(Bytes &b, const std::string &s) { b.insert(b.end(), s.begin(), s.end()); }

// A Service Reply laid out field by field after RFC 2608 (8.2, 4.3, 9.2), written here
// without the library's help so that the decoder is checked against the protocol.
struct UrlSpec {
  unsigned lifetime;
  std::string url;
  std::vector<Bytes> auth;  // each block's bytes after its 4-byte fixed part
};
Bytes make_reply(unsigned error, const std::vector<UrlSpec> &urls, const std::string &tag = "en",
                 int count = -1) {
  Bytes body;
  put16(body, error);
  put16(body, count < 0 ? unsigned(urls.size()) : unsigned(count));
  for (const auto &u : urls) {
    body.push_back(0);
    put16(body, u.lifetime);
    put16(body, unsigned(u.url.size()));
    put_text(body, u.url);
    body.push_back(uint8_t(u.auth.size()));
    for (const auto &a : u.auth) {
      put16(body, 0x0002);  // block structure descriptor
      put16(body, unsigned(a.size() + 4));
      body.insert(body.end(), a.begin(), a.end());
    }
  }
  Bytes m = {2, 2};  // version 2, SrvRply
  const size_t total = 14 + tag.size() + body.size();
  m.push_back(uint8_t(total >> 16));
  put16(m, unsigned(total));
  m.insert(m.end(), {0, 0, 0, 0, 0});
  put16(m, 0x1234);  // XID
  put16(m, unsigned(tag.size()));
  put_text(m, tag);
  m.insert(m.end(), body.begin(), body.end());
  return m;
}

struct ReplyDeleter {
  void operator()(slp_srvreply *r) const { slp_free_srvreply(r); }
};
using Reply = std::unique_ptr<slp_srvreply, ReplyDeleter>;

// Decodes from a heap block of exactly the datagram's size, so that AddressSanitizer
// catches the first byte read beyond it.
Reply decode(const Bytes &b) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[b.empty() ? 1 : b.size()]);
  if (!b.empty()) std::memcpy(exact.get(), b.data(), b.size());
  return Reply(slp_decode_srvreply(exact.get(), int32_t(b.size())));
}

struct Url {
  unsigned lifetime;
  std::string url;
  bool operator==(const Url &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Url &u) { return os << u.lifetime << " " << u.url; }
std::vector<Url> urls_of(const slp_srvreply *r) {
  std::vector<Url> out;
  for (const slp_url_node *n = r->urls; n != nullptr; n = n->next)
    out.push_back({n->entry->lifetime, n->entry->url});
  return out;
}

const std::vector<UrlSpec> kThreeUrls = {
    {300, "service:printer:lpr://10.0.0.5:515/queue", {}},
    {65535, "service:printer:ipp://10.0.0.6/ipp", {Bytes{1, 2, 3, 4, 5, 6}, Bytes{}}},
    {0, "service:x-board://board7", {Bytes(40, 0xaa)}},
};
const std::vector<Url> kThreeDecoded = {
    {300, "service:printer:lpr://10.0.0.5:515/queue"},
    {65535, "service:printer:ipp://10.0.0.6/ipp"},
    {0, "service:x-board://board7"},
};

class SlpRequestWire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mt_res_init(), 0);
    // As after loading, also when several cases share one process.
    _slp_set_xid(0);
    session_.version = 2;
    std::strcpy(session_.lang, "en");
  }
  void TearDown() override { mt_res_free(); }

  Bytes request(const char *type, const char *scopes) {
    std::unique_ptr<uint8_t, decltype(&kivo8::mem_free)> buf(build_srvrqst(&session_, type, scopes),
                                                              &kivo8::mem_free);
    EXPECT_NE(buf, nullptr);
    if (buf == nullptr) return {};
    const uint32_t length = get_packet_length(buf.get());
    return Bytes(buf.get(), buf.get() + length);
  }
  static unsigned xid(const Bytes &m) { return unsigned(m[10]) << 8 | m[11]; }

  slp_session session_{};
};

TEST_F(SlpRequestWire, ServiceRequestIsWrittenByteForByte) {
  // The first transaction id after loading is 1.
  Bytes m = request("service:printer", "default");
  Bytes expected = {2, 1, 0x00, 0x00, 0x30, 0x20, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x02, 'e', 'n',
                    0x00, 0x00, 0x00, 0x0f};
  put_text(expected, "service:printer");
  put16(expected, 7);
  put_text(expected, "default");
  expected.insert(expected.end(), {0, 0, 0, 0});
  ASSERT_EQ(expected.size(), 48u);
  EXPECT_EQ(m, expected);

  Bytes empty = request("", "");
  Bytes expected_empty = {2, 1, 0, 0, 26, 0x20, 0, 0, 0, 0, 0x00, 0x02, 0, 2, 'e', 'n',
                          0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(empty, expected_empty);
}

TEST_F(SlpRequestWire, TransactionIdsFollowOneAnother) {
  Bytes a = request("service:printer", "x");
  Bytes b = request("service:printer", "x");
  EXPECT_EQ(xid(a), 1u);
  EXPECT_EQ(xid(b), 2u);
  uint8_t header[32];
  make_slp_header(&session_, header, 1, 0);
  EXPECT_EQ(unsigned(header[10]) << 8 | header[11], 3u) << "every header takes an id";
  EXPECT_EQ(slp_get_next_xid(), 4u);
}

TEST_F(SlpRequestWire, HeaderCarriesLowSixteenBitsOfTheCounter) {
  unsigned last = 0;
  for (int i = 1; i <= 65536; ++i) {
    Bytes m = request("s", "");
    ASSERT_EQ(m.size(), 27u);
    last = xid(m);
    if (i == 65535) {
      ASSERT_EQ(last, 65535u);
    }
  }
  EXPECT_EQ(last, 0u) << "the 65,536th request";
  EXPECT_EQ(slp_get_next_xid(), 65537u) << "the counter itself goes on";
}

TEST_F(SlpRequestWire, CounterWrapSkipsZero) {
  _slp_set_xid(0xfffffffeu);
  EXPECT_EQ(slp_get_next_xid(), 0xffffffffu);
  EXPECT_EQ(slp_get_next_xid(), 2u);
  EXPECT_EQ(slp_get_next_xid(), 3u);
}

TEST_F(SlpRequestWire, HeaderStaysInsideItsLengthAndHonoursItsArguments) {
  std::strcpy(session_.lang, "de-CH");
  ASSERT_EQ(header_length(&session_), 19);
  uint8_t buf[64];
  std::memset(buf, 0xee, sizeof buf);
  EXPECT_EQ(make_slp_header(&session_, buf + 8, 7, 0), 19);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(buf[i], 0xee) << i;
  for (size_t i = 8 + 19; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0xee) << i;
  const uint8_t *h = buf + 8;
  EXPECT_EQ(h[0], 2);
  EXPECT_EQ(h[1], 7);
  EXPECT_EQ(h[5], 0) << "no multicast flag when not asked";
  EXPECT_EQ(get_packet_length(h), 0u) << "left for the caller";
  EXPECT_EQ(h[13], 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(h + 14), 5), "de-CH");
  EXPECT_EQ(get_header_length(h, 19), 19);
  EXPECT_EQ(get_header_length(h, 13), -1);

  set_packet_length(&session_, buf + 8, 0x10000);
  EXPECT_EQ(get_packet_length(h), 0x10000u + 19);
  EXPECT_EQ(h[2], 0x01);
}

TEST(SlpByteHelpers, WidthsOneToFourOnly) {
  const uint8_t b[] = {0x12, 0x34, 0x56, 0x78, 0x9a};
  struct {
    int32_t width;
    uint32_t value;
  } reads[] = {{0, 0}, {1, 0x12}, {2, 0x1234}, {3, 0x123456}, {4, 0x12345678}, {5, 0}, {-1, 0}};
  for (auto c : reads) EXPECT_EQ(get_int_from_bytes(b, c.width), c.value) << c.width;

  for (int32_t width : {0, 1, 2, 3, 4, 5}) {
    SCOPED_TRACE(width);
    uint8_t out[6] = {0xee, 0xee, 0xee, 0xee, 0xee, 0xee};
    set_int_into_bytes(0xa1b2c3d4u, out, width);
    const uint8_t all[4] = {0xa1, 0xb2, 0xc3, 0xd4};
    const int written = width >= 1 && width <= 4 ? width : 0;
    for (int i = 0; i < written; ++i) EXPECT_EQ(out[i], all[4 - written + i]) << i;
    for (int i = written; i < 6; ++i) EXPECT_EQ(out[i], 0xee) << i;
  }
}

TEST(SlpReplyDecode, ShortestRepliesAndErrorCodes) {
  Bytes eighteen = {2, 2, 0, 0, 18, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(decode(Bytes(eighteen.begin(), eighteen.end() - 1)), nullptr) << "17 bytes";
  Reply r = decode(eighteen);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->error, 0u);
  EXPECT_EQ(r->url_count, 0u);
  EXPECT_EQ(r->urls, nullptr);

  Reply err = decode(make_reply(2, kThreeUrls, "en", 3));
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->error, 2u);
  EXPECT_EQ(err->url_count, 3u);
  EXPECT_EQ(err->urls, nullptr) << "no entry is read after an error code";

  EXPECT_EQ(slp_decode_srvreply(nullptr, 100), nullptr);
  EXPECT_EQ(slp_decode_srvreply(eighteen.data(), -5), nullptr);
  slp_free_srvreply(nullptr);
  slp_free_srvreplies(nullptr);
}

TEST(SlpReplyDecode, EntriesWithAuthenticationBlocksAndLongTags) {
  for (const std::string tag : {"en", "", "de-CH", "i-klingon"}) {
    SCOPED_TRACE(tag);
    Bytes m = make_reply(0, kThreeUrls, tag);
    EXPECT_EQ(get_header_length(m.data(), m.size()), 14 + int(tag.size()));
    Reply r = decode(m);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->error, 0u);
    EXPECT_EQ(r->url_count, 3u);
    EXPECT_EQ(urls_of(r.get()), kThreeDecoded);
  }
  // With a five-character tag the body begins at offset 19.
  Bytes m = make_reply(0x0102, {}, "fr-BE", 0x0304);
  ASSERT_EQ(m.size(), 23u);
  EXPECT_EQ(m[19], 0x01);
  Reply r = decode(m);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->error, 0x0102u);
  EXPECT_EQ(r->url_count, 0x0304u);
}

TEST(SlpReplyDecode, EntryHelpersWalkTheEntries) {
  Bytes m = make_reply(0, kThreeUrls);
  const uint8_t *entry = m.data() + 16 + 4;
  size_t left = m.size() - 20;
  for (const auto &expected : kThreeDecoded) {
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(get_url_length(entry, left), int32_t(expected.url.size()));
    const uint8_t *next = get_next_url_entry(entry, left);
    ASSERT_NE(next, nullptr);
    left -= size_t(next - entry);
    entry = next;
  }
  EXPECT_EQ(left, 0u);
  EXPECT_EQ(get_url_length(entry, 4), -1);
  EXPECT_EQ(get_next_url_entry(entry, 0), nullptr);
}

// Every prefix of a valid reply: null while the fixed part is incomplete, afterwards the
// entries that lie wholly inside the prefix, in order, and never a byte read beyond it.
TEST(SlpReplyDecode, EveryTruncationKeepsOnlyWholeEntries) {
  Bytes full = make_reply(0, kThreeUrls, "de-CH");
  std::vector<size_t> ends;  // where each entry ends
  {
    size_t pos = 19 + 4;
    for (const auto &u : kThreeUrls) {
      pos += 5 + u.url.size() + 1;
      for (const auto &a : u.auth) pos += 4 + a.size();
      ends.push_back(pos);
    }
    ASSERT_EQ(ends.back(), full.size());
  }
  for (size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    Reply r = decode(Bytes(full.begin(), full.begin() + long(n)));
    if (n < 23) {
      EXPECT_EQ(r, nullptr);
      continue;
    }
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->url_count, 3u);
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= n) ++whole;
    EXPECT_EQ(urls_of(r.get()),
              std::vector<Url>(kThreeDecoded.begin(), kThreeDecoded.begin() + long(whole)));
  }
}

TEST(SlpReplyDecode, LengthsThatClaimTooMuchAreRefusedInsideTheDatagram) {
  auto patch16 = [](Bytes b, size_t at, unsigned v) {
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
    return b;
  };
  const Bytes base = make_reply(0, kThreeUrls);
  const size_t first = 16 + 4;  // first entry
  const size_t second = first + 5 + kThreeUrls[0].url.size() + 1;
  const size_t second_blocks = second + 5 + kThreeUrls[1].url.size() + 1;
  struct {
    const char *name;
    Bytes bytes;
    bool decodes;
    size_t urls;
  } cases[] = {
      {"language tag past the end", patch16(base, 12, 0xffff), false, 0},
      {"tag leaves no room for error and count", patch16(base, 12, unsigned(base.size() - 16)),
       false, 0},
      {"first URL length past the end", patch16(base, first + 3, 0xffff), true, 0},
      {"count larger than the entries sent", patch16(base, 18, 40), true, 3},
      {"authentication block past the end", patch16(base, second_blocks + 2, 0xfff0), true, 1},
      {"authentication block shorter than its own header", patch16(base, second_blocks + 2, 2),
       true, 1},
      {"authentication block of length zero", patch16(base, second_blocks + 2, 0), true, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Reply r = decode(c.bytes);
    ASSERT_EQ(r != nullptr, c.decodes);
    if (r == nullptr) continue;
    auto got = urls_of(r.get());
    EXPECT_EQ(got, std::vector<Url>(kThreeDecoded.begin(), kThreeDecoded.begin() + long(c.urls)));
  }
  Bytes many_blocks = make_reply(0, {{1, "u://h", std::vector<Bytes>(255, Bytes{})}});
  Reply r = decode(many_blocks);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(urls_of(r.get()), (std::vector<Url>{{1, "u://h"}}));
}

TEST(SlpReplyDecode, OutOfMemoryKeepsTheEntriesReadSoFar) {
  const Bytes m = make_reply(0, kThreeUrls);
  sweep_allocation_failures([&m] {
    Reply r = decode(m);
    if (r == nullptr) return false;
    EXPECT_EQ(r->url_count, 3u);
    auto got = urls_of(r.get());
    // One failed allocation loses at most that entry; the others stay in reply order.
    size_t i = 0;
    for (const auto &u : got) {
      while (i < kThreeDecoded.size() && !(kThreeDecoded[i] == u)) ++i;
      EXPECT_LT(i, kThreeDecoded.size()) << u;
      ++i;
    }
    return got == kThreeDecoded;
  });
}

TEST(SlpReplyList, CreatedEmptyAndFreedWithItsReplies) {
  slp_srvreplies *first = slp_create_srvreplies();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->next, nullptr);
  EXPECT_EQ(first->address.s_addr, 0u);
  EXPECT_EQ(first->reply, nullptr);
  first->reply = decode(make_reply(0, kThreeUrls)).release();
  first->next = slp_create_srvreplies();
  ASSERT_NE(first->next, nullptr);
  first->next->reply = decode(make_reply(3, {})).release();
  first->next->next = slp_create_srvreplies();
  slp_free_srvreplies(first);  // LeakSanitizer checks that everything went
}

std::string address_text(struct in_addr a) {
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, text, sizeof text);
}

std::string host_of(const char *url) {
  slp_url_entry entry{0, const_cast<char *>(url)};
  return address_text(slp_get_in_addr_from_url(&entry));
}

TEST(SlpUrlHost, DottedQuadsWithAndWithoutPort) {
  struct {
    const char *url, *address;
  } cases[] = {
      {"service:printer:lpr://10.1.2.3:515", "10.1.2.3"},
      {"service:printer:lpr://10.1.2.3:515/queue", "10.1.2.3"},
      {"service:printer:ipp://192.168.100.254", "192.168.100.254"},
      {"service:printer:lpr:/10.1.2.3:515", "0.0.0.0"},
      {"10.1.2.3", "0.0.0.0"},
      {"", "0.0.0.0"},
      {"service:printer://localhost:631/x", "127.0.0.1"},
  };
  for (const auto &c : cases) EXPECT_EQ(host_of(c.url), c.address) << c.url;
  EXPECT_EQ(slp_get_in_addr_from_url(nullptr).s_addr, 0u);
  slp_url_entry no_text{0, nullptr};
  EXPECT_EQ(slp_get_in_addr_from_url(&no_text).s_addr, 0u);

  sweep_allocation_failures([] {
    std::string got = host_of("service:printer:lpr://10.1.2.3:515");
    if (got == "0.0.0.0") return false;
    EXPECT_EQ(got, "10.1.2.3");
    return true;
  });
}

// Host names go to the system's resolver as they stand. A child process gets a mount and
// network namespace of its own with a hosts file of ours over /etc/hosts (and no network,
// so a name the file lacks fails at once instead of waiting for a name server).
TEST(SlpUrlHost, HostNamesAreLookedUpThroughTheHostsFile) {
  KIVO8_REQUIRE_NETNS();
  kivo8::test::TempDir dir;
  {
    std::ofstream hosts(dir.file("hosts"));
    hosts << "127.0.0.1 localhost\n"
             "10.77.0.9 printer-a.example printer-a\n"
             "10.77.0.10 10.1.2.3/queue\n";
    std::ofstream(dir.file("resolv.conf")) << "";
    std::ofstream(dir.file("nsswitch.conf")) << "hosts: files\n";
  }
  struct {
    const char *url, *address;
  } cases[] = {
      {"service:printer:lpr://printer-a.example:515/q", "10.77.0.9"},
      {"service:printer:lpr://printer-a", "10.77.0.9"},
      // No port: the path stays on the name, which is then looked up whole.
      {"service:printer:lpr://10.1.2.3/queue", "10.77.0.10"},
      {"service:printer:lpr://unknown-host.example:515", "0.0.0.0"},
      {"service:printer://:515", "0.0.0.0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.url);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      bool ok = unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
      for (const char *f : {"hosts", "resolv.conf", "nsswitch.conf"})
        ok = ok && mount(dir.file(f).c_str(), (std::string("/etc/") + f).c_str(), nullptr, MS_BIND,
                         nullptr) == 0;
      slp_url_entry entry{0, const_cast<char *>(c.url)};
      struct in_addr a = slp_get_in_addr_from_url(&entry);
      if (!ok) a.s_addr = 0xffffffffu;
      (void)!write(fds[1], &a, sizeof a);
      _exit(0);
    }
    close(fds[1]);
    struct in_addr got {};
    EXPECT_EQ(read(fds[0], &got, sizeof got), ssize_t(sizeof got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_NE(got.s_addr, 0xffffffffu) << "could not set up the child's namespaces";
    EXPECT_EQ(address_text(got), c.address);
  }
}

}  // namespace
