// The discovery interface's contract without a network: options refused by name, null
// handles, options from an older caller (a smaller `size`), an empty target list.
#include <gtest/gtest.h>

#include <cstddef>

#include "kivo8/discover.h"
#include "kivo8/kivo8.h"
#include "support/record_owners.h"

namespace {

using kivo8::test::DiscoverHandle;

kivo_snmpv3_options v3_user(int32_t level, const char *pass) {
  kivo_snmpv3_options o{};
  o.size = sizeof o;
  o.user = "ops";
  o.level = level;
  o.auth_protocol = KIVO_SNMPV3_AUTH_SHA256;
  o.auth_password = pass;
  return o;
}
const kivo_snmpv3_options short_pass = v3_user(KIVO_SNMPV3_AUTH_NOPRIV, "seven77");
const kivo_snmpv3_options bad_level = v3_user(9, "long-enough");

TEST(DiscoverApi, BadOptionsAreRefused) {
  const char *empty_name[] = {""};
  const char *null_name[] = {nullptr};
  struct {
    const char *name;
    void (*change)(kivo_discover_options &, const char **, const char **);
  } cases[] = {
      {"size too small", [](kivo_discover_options &o, const char **, const char **) { o.size = 2; }},
      {"no known version",
       [](kivo_discover_options &o, const char **, const char **) { o.versions = 0x80; }},
      {"communities missing",
       [](kivo_discover_options &o, const char **, const char **) { o.community_count = 1; }},
      {"empty community",
       [](kivo_discover_options &o, const char **e, const char **) {
         o.communities = e;
         o.community_count = 1;
       }},
      {"null community",
       [](kivo_discover_options &o, const char **, const char **n) {
         o.communities = n;
         o.community_count = 1;
       }},
      {"negative time-out",
       [](kivo_discover_options &o, const char **, const char **) { o.timeout_ms = -1; }},
      {"negative deadline",
       [](kivo_discover_options &o, const char **, const char **) { o.deadline_ms = -5; }},
      {"too many retries",
       [](kivo_discover_options &o, const char **, const char **) { o.retries = 21; }},
      // SNMPv3 credentials are checked (and their keys derived) by kivo_discover_new.
      {"SNMPv3 pass phrase under 8 characters",
       [](kivo_discover_options &o, const char **, const char **) { o.snmpv3 = &short_pass; }},
      {"SNMPv3 level unknown",
       [](kivo_discover_options &o, const char **, const char **) { o.snmpv3 = &bad_level; }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kivo_discover_options o;
    kivo_discover_options_init(&o);
    c.change(o, empty_name, null_name);
    ifinfo *none = ifinfo_new();
    DiscoverHandle h(kivo_discover_new(none, &o));
    EXPECT_FALSE(h);
    ifinfo_free(none);
  }
}

TEST(DiscoverApi, NullHandlesGiveCodes) {
  kivo_discover_stats st{};
  EXPECT_EQ(kivo_discover_run(nullptr), KIVO_DISCOVER_EINVAL);
  EXPECT_EQ(kivo_discover_count(nullptr), 0u);
  EXPECT_EQ(kivo_discover_get(nullptr, 0), nullptr);
  EXPECT_EQ(kivo_discover_get_stats(nullptr, &st), KIVO_DISCOVER_EINVAL);
  EXPECT_EQ(kivo_discover_fill_group(nullptr), -1);
  kivo_discover_cancel(nullptr);
  kivo_discover_free(nullptr);
  kivo_discover_options_init(nullptr);
}

// A target list with nothing to search (a range whose community list is empty): the run
// ends at once with no device; an older caller's shorter options never reach the
// callbacks it did not know of.
TEST(DiscoverApi, NothingToSearchEndsAtOnceAndShortOptionsLeaveNewFieldsAlone) {
  ASSERT_EQ(mt_res_init(), 0);
  ifinfo *range = ifinfo_new();
  range->id = 10000;
  range->addr1.s_addr = htonl(0x0A000001);
  range->addr2.s_addr = htonl(0x0A0000FE);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.size = offsetof(kivo_discover_options, progress);
  o.searches = KIVO_DISCOVER_RANGES;
  o.progress = [](const kivo_discover_progress *, void *) { FAIL() << "beyond the size given"; };
  o.snmpv3 = &short_pass;  // refused if it were read
  DiscoverHandle h(kivo_discover_new(range, &o));
  ASSERT_TRUE(h);
  EXPECT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  EXPECT_EQ(kivo_discover_count(h.get()), 0u);
  EXPECT_EQ(kivo_discover_get(h.get(), 0), nullptr);
  kivo_discover_stats st{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &st), KIVO_DISCOVER_OK);
  EXPECT_EQ(st.requests_sent, 0u);
  EXPECT_EQ(st.deadline_reached, 0);
  EXPECT_EQ(kivo_discover_fill_group(h.get()), -1) << "no group of all devices yet";
  h.reset();
  ifinfo_free(range);
}

}  // namespace
