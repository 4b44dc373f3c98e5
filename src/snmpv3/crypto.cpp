// Digests, HMACs, key derivation and the privacy ciphers of SNMPv3, on libcrypto.

#include "snmpv3/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace kivo8::v3 {

namespace {

// libcrypto's objects fetched once for the life of the process, from a library context
// of our own: loading the legacy provider (for DES) into the default context would change
// what every other user of libcrypto in the process gets.
struct Provider {
  OSSL_LIB_CTX *ctx = nullptr;
  OSSL_PROVIDER *base = nullptr;
  OSSL_PROVIDER *legacy = nullptr;
  EVP_MD *md[7] = {};
  EVP_CIPHER *des = nullptr;
  EVP_CIPHER *aes[3] = {};
  EVP_MAC *hmac = nullptr;

  Provider() noexcept {
    ctx = OSSL_LIB_CTX_new();
    if (ctx == nullptr) return;
    base = OSSL_PROVIDER_load(ctx, "default");
    legacy = OSSL_PROVIDER_load(ctx, "legacy");
    const char *names[7] = {nullptr, "MD5", "SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};
    for (int i = 1; i < 7; ++i) md[i] = EVP_MD_fetch(ctx, names[i], nullptr);
    if (legacy != nullptr) des = EVP_CIPHER_fetch(ctx, "DES-CBC", nullptr);
    aes[0] = EVP_CIPHER_fetch(ctx, "AES-128-CFB", nullptr);
    aes[1] = EVP_CIPHER_fetch(ctx, "AES-192-CFB", nullptr);
    aes[2] = EVP_CIPHER_fetch(ctx, "AES-256-CFB", nullptr);
    hmac = EVP_MAC_fetch(ctx, "HMAC", nullptr);
  }
  ~Provider() {
    for (EVP_MD *m : md) EVP_MD_free(m);
    EVP_CIPHER_free(des);
    for (EVP_CIPHER *c : aes) EVP_CIPHER_free(c);
    EVP_MAC_free(hmac);
    if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
    if (base != nullptr) OSSL_PROVIDER_unload(base);
    OSSL_LIB_CTX_free(ctx);
  }
  Provider(const Provider &) = delete;
  Provider &operator=(const Provider &) = delete;
};

const Provider &provider() noexcept {
  static const Provider p;
  return p;
}

const EVP_MD *md_of(Auth a) noexcept {
  const auto i = static_cast<std::size_t>(a);
  return i == 0 || i > 6 ? nullptr : provider().md[i];
}

const EVP_CIPHER *cipher_of(Priv p) noexcept {
  switch (p) {
    case Priv::des:
      return provider().des;
    case Priv::aes128:
      return provider().aes[0];
    case Priv::aes192:
      return provider().aes[1];
    case Priv::aes256:
      return provider().aes[2];
    default:
      return nullptr;
  }
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX *c) const noexcept { EVP_MD_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX *c) const noexcept { EVP_CIPHER_CTX_free(c); }
};

bool digest(Auth a, std::span<const std::span<const std::uint8_t>> parts, Key &out) noexcept {
  const EVP_MD *md = md_of(a);
  if (md == nullptr) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> c(EVP_MD_CTX_new());
  if (!c || EVP_DigestInit_ex2(c.get(), md, nullptr) != 1) return false;
  for (auto part : parts)
    if (EVP_DigestUpdate(c.get(), part.data(), part.size()) != 1) return false;
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(c.get(), out.bytes, &n) != 1) return false;
  out.size = n;
  return true;
}

// Fills the IV: DES XORs the pre-IV (the second half of the key) with the salt; AES puts
// boots, time and the salt side by side (RFC 3826 3.1.2.1).
bool make_iv(Priv p, const Key &key, std::uint32_t boots, std::uint32_t time,
             std::span<const std::uint8_t> salt, std::uint8_t iv[16]) noexcept {
  if (salt.size() != 8) return false;
  if (p == Priv::des) {
    if (key.size < 16) return false;
    for (int i = 0; i < 8; ++i) iv[i] = key.bytes[8 + i] ^ salt[i];
    return true;
  }
  const std::uint8_t head[8] = {std::uint8_t(boots >> 24), std::uint8_t(boots >> 16),
                                std::uint8_t(boots >> 8),  std::uint8_t(boots),
                                std::uint8_t(time >> 24),  std::uint8_t(time >> 16),
                                std::uint8_t(time >> 8),   std::uint8_t(time)};
  std::memcpy(iv, head, 8);
  std::memcpy(iv + 8, salt.data(), 8);
  return true;
}

bool run_cipher(Priv p, const Key &key, const std::uint8_t iv[16], bool enc,
                std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                std::size_t *written, Prepared *prepared) noexcept {
  const EVP_CIPHER *cipher = cipher_of(p);
  if (cipher == nullptr || key.size < priv_key_size(p)) return false;
  if (in.size() > static_cast<std::size_t>(INT32_MAX) || out.size() < in.size()) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> own;
  EVP_CIPHER_CTX *c = nullptr;
  EVP_CIPHER_CTX **slot = prepared == nullptr ? nullptr : enc ? &prepared->enc : &prepared->dec;
  if (slot != nullptr && *slot != nullptr) {
    // Key scheduled already: only the IV is new.
    c = *slot;
    if (EVP_CipherInit_ex2(c, nullptr, nullptr, iv, -1, nullptr) != 1) return false;
  } else {
    own.reset(EVP_CIPHER_CTX_new());
    if (!own || EVP_CipherInit_ex2(own.get(), cipher, key.bytes, iv, enc ? 1 : 0, nullptr) != 1)
      return false;
    c = own.get();
    if (slot != nullptr) *slot = own.release();
  }
  // The padding is ours (DES) or none (CFB): libcrypto must not add or strip any.
  EVP_CIPHER_CTX_set_padding(c, 0);
  int n = 0, m = 0;
  if (EVP_CipherUpdate(c, out.data(), &n, in.data(), static_cast<int>(in.size())) != 1)
    return false;
  if (EVP_CipherFinal_ex(c, out.data() + n, &m) != 1) return false;
  *written = static_cast<std::size_t>(n) + static_cast<std::size_t>(m);
  return true;
}

std::atomic<std::uint64_t> g_salt{0};
std::atomic<bool> g_salt_seeded{false};

}  // namespace

void Prepared::reset() noexcept {
  EVP_MAC_CTX_free(mac);
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  mac = nullptr;
  enc = dec = nullptr;
}

Key::Key(const Key &other) noexcept : size(other.size) { std::memcpy(bytes, other.bytes, size); }

Key &Key::operator=(const Key &other) noexcept {
  if (this != &other) {
    wipe();
    size = other.size;
    std::memcpy(bytes, other.bytes, size);
  }
  return *this;
}

Key::~Key() { wipe(); }

void Key::wipe() noexcept {
  OPENSSL_cleanse(bytes, sizeof bytes);
  size = 0;
}

std::size_t digest_size(Auth a) noexcept {
  static constexpr std::size_t sizes[7] = {0, 16, 20, 28, 32, 48, 64};
  const auto i = static_cast<std::size_t>(a);
  return i < 7 ? sizes[i] : 0;
}

std::size_t mac_size(Auth a) noexcept {
  static constexpr std::size_t sizes[7] = {0, 12, 12, 16, 24, 32, 48};
  const auto i = static_cast<std::size_t>(a);
  return i < 7 ? sizes[i] : 0;
}

std::size_t priv_key_size(Priv p) noexcept {
  switch (p) {
    case Priv::des:
    case Priv::aes128:
      return 16;
    case Priv::aes192:
      return 24;
    case Priv::aes256:
      return 32;
    default:
      return 0;
  }
}

bool crypto_ready() noexcept {
  const Provider &p = provider();
  for (int i = 1; i < 7; ++i)
    if (p.md[i] == nullptr) return false;
  return p.des != nullptr && p.aes[0] != nullptr && p.aes[1] != nullptr && p.aes[2] != nullptr;
}

bool priv_available(Priv p) noexcept { return p == Priv::none || cipher_of(p) != nullptr; }

bool password_to_key(Auth a, std::span<const std::uint8_t> password, Key &ku) noexcept {
  const EVP_MD *md = md_of(a);
  if (md == nullptr || password.empty()) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> c(EVP_MD_CTX_new());
  if (!c || EVP_DigestInit_ex2(c.get(), md, nullptr) != 1) return false;
  // 1 MiB of the password repeated, hashed in blocks of 4 KiB. The block holds pieces of
  // the password and is wiped before it goes.
  constexpr std::size_t kTotal = 1048576, kBlock = 4096;
  std::uint8_t block[kBlock];
  std::size_t index = 0;
  bool ok = true;
  for (std::size_t done = 0; done < kTotal && ok; done += kBlock) {
    for (std::size_t i = 0; i < kBlock; ++i) {
      block[i] = password[index];
      if (++index == password.size()) index = 0;
    }
    ok = EVP_DigestUpdate(c.get(), block, kBlock) == 1;
  }
  OPENSSL_cleanse(block, sizeof block);
  unsigned int n = 0;
  if (!ok || EVP_DigestFinal_ex(c.get(), ku.bytes, &n) != 1) return false;
  ku.size = n;
  return true;
}

bool localize(Auth a, const Key &ku, std::span<const std::uint8_t> engine_id, Key &kul) noexcept {
  if (ku.size != digest_size(a)) return false;
  const std::span<const std::uint8_t> parts[3] = {ku.view(), engine_id, ku.view()};
  return digest(a, parts, kul);
}

bool priv_key(Auth a, Priv p, const Key &kul, Key &out) noexcept {
  const std::size_t need = priv_key_size(p);
  if (need == 0 || kul.size == 0) return false;
  Key ext = kul;
  Key last = kul;
  while (ext.size < need) {
    Key next;
    const std::span<const std::uint8_t> parts[1] = {last.view()};
    if (!digest(a, parts, next)) return false;
    const std::size_t n = std::min(next.size, kMaxKey - ext.size);
    std::memcpy(ext.bytes + ext.size, next.bytes, n);
    ext.size += n;
    last = next;
  }
  out = ext;
  out.size = need;
  return true;
}

bool hmac(Auth a, const Key &kul, std::span<const std::uint8_t> message,
          std::span<std::uint8_t> mac, Prepared *prepared) noexcept {
  const EVP_MD *md = md_of(a);
  if (md == nullptr || mac.size() != mac_size(a) || kul.size == 0 || provider().hmac == nullptr)
    return false;
  struct MacCtxFree {
    void operator()(EVP_MAC_CTX *c) const noexcept { EVP_MAC_CTX_free(c); }
  };
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> own;
  EVP_MAC_CTX *c = prepared != nullptr ? prepared->mac : nullptr;
  if (c != nullptr) {
    // The key's inner and outer pads are kept: a new message starts from them.
    if (EVP_MAC_init(c, nullptr, 0, nullptr) != 1) return false;
  } else {
    own.reset(EVP_MAC_CTX_new(provider().hmac));
    if (!own) return false;
    OSSL_PARAM params[2] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                         const_cast<char *>(EVP_MD_get0_name(md)), 0),
        OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(own.get(), kul.bytes, kul.size, params) != 1) return false;
    c = own.get();
    if (prepared != nullptr) prepared->mac = own.release();
  }
  std::uint8_t full[EVP_MAX_MD_SIZE];
  std::size_t n = 0;
  if (EVP_MAC_update(c, message.data(), message.size()) != 1 ||
      EVP_MAC_final(c, full, &n, sizeof full) != 1 || n < mac.size())
    return false;
  std::memcpy(mac.data(), full, mac.size());
  OPENSSL_cleanse(full, sizeof full);
  return true;
}

std::size_t encrypt(Priv p, const Key &key, std::uint32_t boots, std::uint32_t time,
                    std::span<const std::uint8_t, 8> salt, std::span<const std::uint8_t> plain,
                    std::span<std::uint8_t> out, Prepared *prepared) noexcept {
  std::uint8_t iv[16];
  if (!make_iv(p, key, boots, time, salt, iv)) return 0;
  std::size_t written = 0;
  if (p == Priv::des) {
    // DES-CBC works on whole blocks: the scoped PDU is padded up to a multiple of 8, and
    // the BER length inside tells the receiver where the data ends.
    const std::size_t padded = (plain.size() + 7) / 8 * 8;
    if (out.size() < padded || padded == 0) return 0;
    std::memcpy(out.data(), plain.data(), plain.size());
    std::memset(out.data() + plain.size(), 0, padded - plain.size());
    if (!run_cipher(p, key, iv, true, out.first(padded), out, &written, prepared)) return 0;
    return written;
  }
  if (!run_cipher(p, key, iv, true, plain, out, &written, prepared)) return 0;
  return written;
}

bool decrypt(Priv p, const Key &key, std::uint32_t boots, std::uint32_t time,
             std::span<const std::uint8_t> salt, std::span<const std::uint8_t> cipher,
             std::span<std::uint8_t> out, Prepared *prepared) noexcept {
  if (p == Priv::des && cipher.size() % 8 != 0) return false;
  if (cipher.empty()) return false;
  std::uint8_t iv[16];
  if (!make_iv(p, key, boots, time, salt, iv)) return false;
  std::size_t written = 0;
  return run_cipher(p, key, iv, false, cipher, out, &written, prepared) &&
         written == cipher.size();
}

void next_salt(std::uint8_t salt[8]) noexcept {
  if (!g_salt_seeded.load(std::memory_order_acquire)) {
    std::uint64_t seed = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char *>(&seed), sizeof seed) != 1)
      seed = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&seed));
    std::uint64_t expected = 0;
    g_salt.compare_exchange_strong(expected, seed);
    g_salt_seeded.store(true, std::memory_order_release);
  }
  const std::uint64_t v = g_salt.fetch_add(1, std::memory_order_relaxed);
  for (int i = 0; i < 8; ++i) salt[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}

}  // namespace kivo8::v3
