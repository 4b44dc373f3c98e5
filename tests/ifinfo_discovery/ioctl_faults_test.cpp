// Discovery when the interface queries fail in ways Linux never shows: this program
// defines its own ioctl, which passes every call through to the C library's unless a
// test has set a fault. The kernel still answers every query that is let through.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/ifinfo.h"
#include "support/peers.h"

namespace {

// Returns true (and sets *result, errno) to answer the call instead of the kernel.
std::function<bool(int fd, unsigned long request, void *arg, int *result)> g_fault;

bool fail_with(int err, int *result) {
  errno = err;
  *result = -1;
  return true;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  using Real = int (*)(int, unsigned long, ...);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
  int result = 0;
  if (g_fault && g_fault(fd, request, arg, &result)) return result;
  return real(fd, request, arg);
}

namespace {

std::string text(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

class DiscoveryFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    ns_ = std::make_unique<kivo8::test::Netns>();
    ns_->must("ip link add d0 type bridge");
    ns_->must("ip addr add 192.168.7.10/24 brd + dev d0");
    ns_->must("ip link set d0 up");
  }
  void TearDown() override {
    g_fault = nullptr;
    if (ns_) ns_->leave();
    ifinfo_free_list(list_);
  }

  // Runs discovery inside the namespace with `fault` in place; records the buffer size
  // (in ifreq records) of every interface-list request.
  void discover(std::function<bool(unsigned long, void *, int *)> fault) {
    ns_->enter();
    g_fault = [this, fault](int, unsigned long request, void *arg, int *result) {
      if (request == SIOCGIFCONF)
        sizes_.push_back(static_cast<struct ifconf *>(arg)->ifc_len /
                         static_cast<int>(sizeof(struct ifreq)));
      return fault(request, arg, result);
    };
    ifinfo_getlocal(&list_);
    g_fault = nullptr;
    ns_->leave();
  }

  std::unique_ptr<kivo8::test::Netns> ns_;
  ifinfo *list_ = nullptr;
  std::vector<int> sizes_;
};

TEST_F(DiscoveryFaults, NoFaultAsksTwiceWithAGrowingBuffer) {
  discover([](unsigned long, void *, int *) { return false; });
  EXPECT_EQ(sizes_, (std::vector<int>{100, 110}));
  ASSERT_EQ(ifinfo_get_num(list_), 1);
  EXPECT_EQ(text(list_->addr1), "192.168.7.255");
}

// A system that reports a short buffer with EINVAL is given a larger one until it
// answers; then the answer is asked for once more to see that it no longer changes.
TEST_F(DiscoveryFaults, EinvalBeforeTheFirstAnswerGrowsTheBuffer) {
  int refusals = 2;
  discover([&](unsigned long request, void *, int *result) {
    return request == SIOCGIFCONF && refusals-- > 0 && fail_with(EINVAL, result);
  });
  EXPECT_EQ(sizes_, (std::vector<int>{100, 110, 120, 130}));
  ASSERT_EQ(ifinfo_get_num(list_), 1);
  EXPECT_STREQ(list_->name, "d0");
}

TEST_F(DiscoveryFaults, FailuresOfTheInterfaceListAddNothing) {
  struct {
    const char *label;
    int fail_at;  // which interface-list request fails (1 = the first)
    int err;
    std::vector<int> sizes;
  } cases[] = {
      {"EINVAL after an answer", 2, EINVAL, {100, 110}},
      {"another error first", 1, EFAULT, {100}},
      {"another error after an answer", 2, ENOMEM, {100, 110}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    sizes_.clear();
    int calls = 0;
    discover([&](unsigned long request, void *, int *result) {
      return request == SIOCGIFCONF && ++calls == c.fail_at && fail_with(c.err, result);
    });
    EXPECT_EQ(sizes_, c.sizes);
    EXPECT_EQ(list_, nullptr);
  }
}

TEST_F(DiscoveryFaults, AnEmptyAnswerEndsAtOnce) {
  discover([](unsigned long request, void *arg, int *result) {
    if (request != SIOCGIFCONF) return false;
    static_cast<struct ifconf *>(arg)->ifc_len = 0;
    *result = 0;
    return true;
  });
  EXPECT_EQ(sizes_, (std::vector<int>{100}));
  EXPECT_EQ(list_, nullptr);
}

// A length beyond the buffer must not send the walk past its end.
TEST_F(DiscoveryFaults, AnAnswerLongerThanTheBufferIsRefused) {
  discover([](unsigned long request, void *arg, int *result) {
    if (request != SIOCGIFCONF) return false;
    auto *ifc = static_cast<struct ifconf *>(arg);
    ifc->ifc_len += static_cast<int>(sizeof(struct ifreq));
    *result = 0;
    return true;
  });
  EXPECT_EQ(list_, nullptr);
}

// The further queries about an interface that is up: a failed broadcast-address or
// netmask query stores zero for that field alone; without its flags the interface
// cannot be known to be up and is left out.
TEST_F(DiscoveryFaults, FailedInterfaceQueries) {
  struct {
    const char *label;
    unsigned long request;
    int entries;
    const char *bcast, *mask;
  } cases[] = {
      {"broadcast address", SIOCGIFBRDADDR, 1, "0.0.0.0", "255.255.255.0"},
      {"netmask", SIOCGIFNETMASK, 1, "192.168.7.255", "0.0.0.0"},
      {"flags", SIOCGIFFLAGS, 0, "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ifinfo_free_list(list_);
    list_ = nullptr;
    discover([&](unsigned long request, void *, int *result) {
      return request == c.request && fail_with(EADDRNOTAVAIL, result);
    });
    ASSERT_EQ(ifinfo_get_num(list_), c.entries);
    if (c.entries == 0) continue;
    EXPECT_STREQ(list_->name, "d0");
    EXPECT_EQ(text(list_->addr), "192.168.7.10");
    EXPECT_EQ(text(list_->addr1), c.bcast);
    EXPECT_EQ(text(list_->addr2), c.mask);
  }
}

}  // namespace
