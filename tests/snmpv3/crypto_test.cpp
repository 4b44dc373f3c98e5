// The USM cryptography and the v3 message codec without a network: RFC 3414's key
// vectors, round trips through every protocol pair, tampering and truncation.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "snmp/pdu.h"
#include "snmpv3/crypto.h"
#include "snmpv3/message.h"
#include "snmpv3/usm.h"

namespace {

using namespace kivo8::v3;

std::vector<std::uint8_t> hex(const std::string &text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    if (text[i] == ' ') {
      --i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<std::uint8_t> bytes(const Key &k) { return {k.bytes, k.bytes + k.size}; }

std::span<const std::uint8_t> text(const char *s) {
  return {reinterpret_cast<const std::uint8_t *>(s), std::strlen(s)};
}

TEST(Usm, LibcryptoGivesEveryProtocolIncludingLegacyDes) { EXPECT_TRUE(crypto_ready()); }

// RFC 3414 A.3.1 and A.3.2: password "maplesyrup", engine id 00..02.
TEST(Usm, PasswordToKeyAndLocalisationMatchRfc3414) {
  struct {
    const char *name;
    Auth auth;
    const char *ku;
    const char *kul;
  } cases[] = {
      {"md5", Auth::md5, "9faf3283884e92834ebc9847d8edd963", "526f5eed9fcce26f8964c2930787d82b"},
      {"sha1", Auth::sha1, "9fb5cc0381497b3793528939ff788d5d79145211",
       "6695febc9288e36282235fc7151f128497b38f3f"},
  };
  const auto engine = hex("000000000000000000000002");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Key ku, kul;
    ASSERT_TRUE(password_to_key(c.auth, text("maplesyrup"), ku));
    EXPECT_EQ(bytes(ku), hex(c.ku));
    ASSERT_TRUE(localize(c.auth, ku, engine, kul));
    EXPECT_EQ(bytes(kul), hex(c.kul));
  }
}

TEST(Usm, KeyExtensionHashesThePreviousBlock) {
  Key ku, kul, aes256;
  ASSERT_TRUE(password_to_key(Auth::md5, text("maplesyrup"), ku));
  ASSERT_TRUE(localize(Auth::md5, ku, hex("000000000000000000000002"), kul));
  ASSERT_TRUE(priv_key(Auth::md5, Priv::aes256, kul, aes256));
  ASSERT_EQ(aes256.size, 32u);
  // Kul || MD5(Kul)
  EXPECT_EQ(std::vector<std::uint8_t>(aes256.bytes, aes256.bytes + 16), bytes(kul));
  EXPECT_NE(std::vector<std::uint8_t>(aes256.bytes + 16, aes256.bytes + 32), bytes(kul));
}

TEST(Usm, KeysAreWipedWhenReleased) {
  alignas(Key) unsigned char storage[sizeof(Key)];
  Key *k = new (storage) Key;
  ASSERT_TRUE(password_to_key(Auth::sha256, text("maplesyrup"), *k));
  k->~Key();
  // The key octets; the length beside them is no secret (and a store to it in a
  // destructor may be dropped by the compiler).
  for (std::size_t i = 0; i < kMaxKey; ++i) ASSERT_EQ(storage[offsetof(Key, bytes) + i], 0) << i;
}

struct Pair {
  const char *name;
  Auth auth;
  Priv priv;
};

const Pair kPairs[] = {
    {"noauth", Auth::none, Priv::none},    {"md5", Auth::md5, Priv::none},
    {"sha1-des", Auth::sha1, Priv::des},   {"md5-aes", Auth::md5, Priv::aes128},
    {"sha224-aes192", Auth::sha224, Priv::aes192}, {"sha256-aes", Auth::sha256, Priv::aes128},
    {"sha384-aes256", Auth::sha384, Priv::aes256}, {"sha512-des", Auth::sha512, Priv::des},
};

class Codec : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }

  LocalKeys keys_for(const Pair &p) {
    User user;
    kivo_snmpv3_options o{};
    o.size = sizeof o;
    o.user = "printer-admin";
    o.level = p.auth == Auth::none ? KIVO_SNMPV3_NOAUTH_NOPRIV
              : p.priv == Priv::none ? KIVO_SNMPV3_AUTH_NOPRIV
                                     : KIVO_SNMPV3_AUTH_PRIV;
    o.auth_protocol = static_cast<int32_t>(p.auth);
    o.auth_password = "authpass123";
    o.priv_protocol = static_cast<int32_t>(p.priv);
    o.priv_password = "privpass123";
    EXPECT_EQ(user.set(o), 0);
    LocalKeys k;
    EXPECT_TRUE(derive(user, engine_, k));
    return k;
  }

  std::vector<std::uint8_t> encode_get(const Pair &p, const LocalKeys &k) {
    snmp_pdu *pdu = snmp_create_pdu(SNMP_MSG_GET);
    const std::uint32_t name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
    snmp_add_null_var(pdu, name, 9);
    Outgoing m;
    m.msg_id = 4242;
    m.flags = kFlagReportable | (p.auth != Auth::none ? kFlagAuth : 0) |
              (p.priv != Priv::none ? kFlagPriv : 0);
    m.engine_id = engine_;
    m.boots = 7;
    m.time = 123456;
    m.user = text("printer-admin");
    m.context_engine_id = engine_;
    m.keys = &k;
    m.exported = pdu;
    std::vector<std::uint8_t> out(kMaxMessage);
    out.resize(encode(m, out));
    snmp_free_pdu(pdu);
    return out;
  }

  std::vector<std::uint8_t> engine_ = hex("80001f8880aabbccddeeff0011");
};

TEST_F(Codec, EveryProtocolPairRoundTrips) {
  for (const auto &p : kPairs) {
    SCOPED_TRACE(p.name);
    LocalKeys k = keys_for(p);
    auto msg = encode_get(p, k);
    ASSERT_FALSE(msg.empty());
    Envelope env;
    ASSERT_EQ(parse_envelope(msg, env), CodecError::none);
    EXPECT_EQ(env.msg_id, 4242);
    EXPECT_EQ(env.boots, 7u);
    EXPECT_EQ(env.time, 123456u);
    EXPECT_EQ(std::vector<std::uint8_t>(env.engine_id.begin(), env.engine_id.end()), engine_);
    if (p.auth != Auth::none) {
      EXPECT_EQ(env.auth_params.size(), mac_size(p.auth));
      EXPECT_EQ(verify(msg, env, k), CodecError::none);
    }
    std::vector<std::uint8_t> scratch(kMaxMessage);
    kivo8::snmp::Message pdu;
    Scoped scoped;
    ASSERT_EQ(open_scoped(env, &k, scratch, pdu, scoped), CodecError::none);
    EXPECT_EQ(pdu.type, SNMP_MSG_GET);
    ASSERT_EQ(pdu.bindings().size(), 1u);
    EXPECT_EQ(pdu.bindings()[0].name.size(), 9u);
  }
}

TEST_F(Codec, AnyChangedOctetFailsTheDigest) {
  const Pair p{"sha256-aes", Auth::sha256, Priv::aes128};
  LocalKeys k = keys_for(p);
  auto msg = encode_get(p, k);
  Envelope env;
  ASSERT_EQ(parse_envelope(msg, env), CodecError::none);
  // Each octet outside the digest itself, flipped: either the envelope no longer parses
  // or the digest fails.
  for (std::size_t i = 0; i < msg.size(); ++i) {
    if (i >= env.auth_offset && i < env.auth_offset + env.auth_params.size()) continue;
    auto bad = msg;
    bad[i] ^= 0x01;
    Envelope e;
    if (parse_envelope(bad, e) != CodecError::none) continue;
    ASSERT_NE(verify(bad, e, k), CodecError::none) << "octet " << i;
  }
}

TEST_F(Codec, WrongPrivacyKeyIsADecryptionError) {
  const Pair p{"sha1-aes", Auth::sha1, Priv::aes128};
  LocalKeys k = keys_for(p);
  auto msg = encode_get(p, k);
  LocalKeys wrong = k;
  wrong.priv_key.bytes[0] ^= 0x55;
  Envelope env;
  ASSERT_EQ(parse_envelope(msg, env), CodecError::none);
  std::vector<std::uint8_t> scratch(kMaxMessage);
  kivo8::snmp::Message pdu;
  Scoped scoped;
  EXPECT_EQ(open_scoped(env, &wrong, scratch, pdu, scoped), CodecError::decrypt);
}

TEST_F(Codec, EveryPrefixOfAMessageIsRefusedCleanly) {
  for (const auto &p : kPairs) {
    SCOPED_TRACE(p.name);
    LocalKeys k = keys_for(p);
    auto msg = encode_get(p, k);
    for (std::size_t n = 0; n < msg.size(); ++n) {
      std::vector<std::uint8_t> cut(msg.begin(), msg.begin() + static_cast<long>(n));
      Envelope env;
      ASSERT_NE(parse_envelope(cut, env), CodecError::none) << n;
    }
  }
}

// Hostile envelopes: the decoder refuses them with a code, never reads past the end.
TEST(CodecHostile, EnvelopesThatMustBeRefused) {
  struct {
    const char *name;
    std::string hex;
    CodecError want;
  } cases[] = {
      {"empty", "", CodecError::malformed},
      {"version 1", "3005020100 0400", CodecError::version},
      {"length past the end", "30 82 ff ff 02 01 03", CodecError::malformed},
      {"engine id of 40 octets",
       "3055 020103 300e020101020300ffe3040100020103 0438 3036 0428" + std::string(80, 'a') +
           "020100020100040004000400 3006 0400 0400 a000",
       CodecError::too_long},
      {"privacy without authentication",
       "302d 020103 300e020101020300ffe3040102020103 0410300e0400020100020100040004000400"
       "3006 0400 0400 a000",
       CodecError::flags},
      {"another security model",
       "302d 020103 300e020101020300ffe3040104020102 0410300e0400020100020100040004000400"
       "3006 0400 0400 a000",
       CodecError::model},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string h;
    for (char ch : c.hex)
      if (ch != ' ') h += ch;
    auto msg = hex(h);
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[msg.size() + 1]);
    if (!msg.empty()) std::memcpy(exact.get(), msg.data(), msg.size());
    Envelope env;
    EXPECT_EQ(parse_envelope({exact.get(), msg.size()}, env), c.want);
  }
}

}  // namespace
