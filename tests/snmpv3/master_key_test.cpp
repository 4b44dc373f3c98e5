// Master keys instead of pass phrases: kivo_snmpv3_password_to_key gives RFC 3414's Ku,
// and a session given those keys (pass phrases null) talks to net-snmp's snmpd as one
// given the pass phrases does; keys of the wrong length and missing keys are refused.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "support/peers.h"
#include "support/snmp_agents.h"

namespace {

std::string hex(const uint8_t *p, uint32_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint32_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

// RFC 3414 A.3.1 and A.3.2 (password "maplesyrup"), and the digest size of every hash.
TEST(Snmpv3MasterKey, PasswordToKeyGivesRfc3414sKu) {
  struct {
    const char *name;
    int32_t auth;
    uint32_t length;
    const char *ku;  // nullptr: the length alone is checked
  } cases[] = {
      {"MD5", KIVO_SNMPV3_AUTH_MD5, 16, "9faf3283884e92834ebc9847d8edd963"},
      {"SHA-1", KIVO_SNMPV3_AUTH_SHA, 20, "9fb5cc0381497b3793528939ff788d5d79145211"},
      {"SHA-224", KIVO_SNMPV3_AUTH_SHA224, 28, nullptr},
      {"SHA-256", KIVO_SNMPV3_AUTH_SHA256, 32, nullptr},
      {"SHA-384", KIVO_SNMPV3_AUTH_SHA384, 48, nullptr},
      {"SHA-512", KIVO_SNMPV3_AUTH_SHA512, 64, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t key[64];
    uint32_t length = sizeof key;
    ASSERT_EQ(kivo_snmpv3_password_to_key(c.auth, "maplesyrup", key, &length), 0);
    EXPECT_EQ(length, c.length);
    if (c.ku != nullptr) {
      EXPECT_EQ(hex(key, length), c.ku);
    }
  }
}

TEST(Snmpv3MasterKey, RefusesWhatItCannotDerive) {
  uint8_t key[64];
  struct {
    const char *name;
    int32_t auth;
    const char *password;
    uint8_t *out;
    uint32_t capacity;
    int32_t code;
  } cases[] = {
      {"unknown protocol", 9, "maplesyrup", key, 64, KIVO_SNMPV3_ERR_OPTIONS},
      {"no protocol", 0, "maplesyrup", key, 64, KIVO_SNMPV3_ERR_OPTIONS},
      {"pass phrase under 8 octets", KIVO_SNMPV3_AUTH_SHA, "short", key, 64, KIVO_SNMPV3_ERR_OPTIONS},
      {"null pass phrase", KIVO_SNMPV3_AUTH_SHA, nullptr, key, 64, SNMP_ERR_OTHER},
      {"null key", KIVO_SNMPV3_AUTH_SHA, "maplesyrup", nullptr, 64, SNMP_ERR_OTHER},
      {"room for less than the key", KIVO_SNMPV3_AUTH_SHA256, "maplesyrup", key, 31, SNMP_ERR_OTHER},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t length = c.capacity;
    EXPECT_EQ(kivo_snmpv3_password_to_key(c.auth, c.password, c.out, &length), c.code);
  }
  EXPECT_EQ(kivo_snmpv3_password_to_key(KIVO_SNMPV3_AUTH_SHA, "maplesyrup", key, nullptr), SNMP_ERR_OTHER);
}

struct SessionFree {
  void operator()(kivo_snmpv3_session *s) const { kivo_snmpv3_free(s); }
};
using Session = std::unique_ptr<kivo_snmpv3_session, SessionFree>;

constexpr const char *kAuthPass = "ink-and-paper";
constexpr const char *kPrivPass = "toner-secret";

TEST(Snmpv3MasterKey, SessionsWithKeysTalkToSnmpd) {
  KIVO8_REQUIRE_PROGRAM("snmpd");
  ASSERT_EQ(mt_res_init(), 0);
  struct Pair {
    const char *auth_name;
    int32_t auth;
    const char *priv_name;
    int32_t priv;
  };
  const Pair pairs[] = {{"MD5", KIVO_SNMPV3_AUTH_MD5, "DES", KIVO_SNMPV3_PRIV_DES},
                        {"SHA-256", KIVO_SNMPV3_AUTH_SHA256, "AES", KIVO_SNMPV3_PRIV_AES},
                        {"SHA-512", KIVO_SNMPV3_AUTH_SHA512, "AES-256", KIVO_SNMPV3_PRIV_AES256}};
  kivo8::test::SnmpdConfig config;
  for (const Pair &p : pairs) {
    const std::string user = std::string("k-") + p.auth_name;
    config.extra_lines.push_back("createUser " + user + " " + p.auth_name + " " + kAuthPass + " " +
                                 p.priv_name + " " + kPrivPass);
    config.extra_lines.push_back("rouser " + user + " priv -V kv");
  }
  kivo8::test::Snmpd agent(config);
  ASSERT_TRUE(agent.ok());
  in_addr address = agent.address();
  uint32_t name[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
  const snmp_oid names[] = {{name, 9}, {nullptr, 0}};
  for (const Pair &p : pairs) {
    SCOPED_TRACE(p.auth_name);
    const std::string user = std::string("k-") + p.auth_name;
    uint8_t auth_key[64], priv_key[64];
    uint32_t auth_length = sizeof auth_key, priv_length = sizeof priv_key;
    ASSERT_EQ(kivo_snmpv3_password_to_key(p.auth, kAuthPass, auth_key, &auth_length), 0);
    ASSERT_EQ(kivo_snmpv3_password_to_key(p.auth, kPrivPass, priv_key, &priv_length), 0);
    kivo_snmpv3_options o{};
    o.size = sizeof o;
    o.user = user.c_str();
    o.level = KIVO_SNMPV3_AUTH_PRIV;
    o.auth_protocol = p.auth;
    o.priv_protocol = p.priv;
    o.auth_key = auth_key;
    o.auth_key_length = auth_length;
    o.priv_key = priv_key;
    o.priv_key_length = priv_length;
    o.port = static_cast<uint16_t>(agent.port());
    o.timeout_ms = 1500;
    o.retries = 1;
    int32_t code = -1;
    Session s(kivo_snmpv3_create(&address, &o, &code));
    ASSERT_TRUE(s) << kivo_snmpv3_strerror(code);
    snmp_pdu *raw = nullptr;
    ASSERT_EQ(kivo_snmpv3_get(s.get(), names, &raw), 0);
    std::unique_ptr<snmp_pdu, void (*)(snmp_pdu *)> response(raw, snmp_free_pdu);
    ASSERT_NE(response->variables, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(response->variables->value),
                          response->variables->value_length),
              agent.config().sys_descr);

    // A key one octet short, a privacy key missing, a caller too old to know the keys:
    // refused before anything is sent.
    struct {
      const char *name;
      kivo_snmpv3_options options;
    } refused[] = {{"short auth key", o}, {"no privacy key", o}, {"older caller", o}};
    refused[0].options.auth_key_length = auth_length - 1;
    refused[1].options.priv_key = nullptr;
    refused[2].options.size = static_cast<uint32_t>(offsetof(kivo_snmpv3_options, auth_key));
    for (const auto &r : refused) {
      SCOPED_TRACE(r.name);
      int32_t why = 0;
      Session bad(kivo_snmpv3_create(&address, &r.options, &why));
      EXPECT_FALSE(bad);
      EXPECT_EQ(why, KIVO_SNMPV3_ERR_OPTIONS);
    }
  }
}

}  // namespace
