// The user-based security model's cryptography (RFC 3414, RFC 7860, RFC 3826), on
// OpenSSL's libcrypto. Pure functions over spans: no sockets, no message format.
//
// Key extension for AES-192 and AES-256: net-snmp's AES-192/AES-256 (and Debian's snmpd
// with them) extend a localised key that is shorter than the cipher key the way the
// Blumenthal draft does: Kul' = Kul || H(Kul) || H(H(Kul)) ..., each step hashing the
// previous block with the user's authentication hash. The other known extension (Reeder's,
// which runs password-to-key again on the localised key) is not what those agents use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// libcrypto's context types (openssl/types.h), named here without its headers.
struct evp_mac_ctx_st;
struct evp_cipher_ctx_st;

namespace kivo8::v3 {

enum class Auth : std::uint8_t { none, md5, sha1, sha224, sha256, sha384, sha512 };
enum class Priv : std::uint8_t { none, des, aes128, aes192, aes256 };

// Longest digest (SHA-512) and so the longest key of any kind handled here.
inline constexpr std::size_t kMaxKey = 64;

// Digest size of the hash behind `a` (the key length of its keys), 0 for none.
std::size_t digest_size(Auth a) noexcept;
// Length of the truncated HMAC that travels in msgAuthenticationParameters: 12 for MD5
// and SHA-1, then 16/24/32/48 for SHA-224/256/384/512.
std::size_t mac_size(Auth a) noexcept;
// Cipher key length of `p`, 0 for none; DES takes 16 localised bytes (key and pre-IV).
std::size_t priv_key_size(Priv p) noexcept;

// Key material that wipes itself when it goes away or is overwritten.
struct Key {
  std::uint8_t bytes[kMaxKey] = {};
  std::size_t size = 0;

  Key() noexcept = default;
  Key(const Key &other) noexcept;
  Key &operator=(const Key &other) noexcept;
  ~Key();
  void wipe() noexcept;
  std::span<const std::uint8_t> view() const noexcept { return {bytes, size}; }
};

// libcrypto contexts prepared with one key, so that a message costs an HMAC and a cipher
// run rather than fetching algorithms and scheduling keys again. A copy starts empty and
// prepares itself on first use; the contexts are freed (and their key material cleared
// by libcrypto) with the object. Not for use by two threads at once.
class Prepared {
 public:
  Prepared() noexcept = default;
  Prepared(const Prepared &) noexcept {}
  Prepared &operator=(const Prepared &other) noexcept {
    if (this != &other) reset();
    return *this;
  }
  ~Prepared() { reset(); }
  void reset() noexcept;

  ::evp_mac_ctx_st *mac = nullptr;
  ::evp_cipher_ctx_st *enc = nullptr;
  ::evp_cipher_ctx_st *dec = nullptr;
};

// True when libcrypto gives every digest and cipher, including DES from the legacy
// provider (loaded into a library context of our own, never the process's default one).
bool crypto_ready() noexcept;
// Whether this particular privacy protocol is available (DES needs the legacy provider).
bool priv_available(Priv p) noexcept;

// RFC 3414 A.2: the password repeated to 1 MiB and hashed. False for a password that is
// empty or that libcrypto cannot hash.
bool password_to_key(Auth a, std::span<const std::uint8_t> password, Key &ku) noexcept;
// RFC 3414 A.2: H(Ku || engineID || Ku).
bool localize(Auth a, const Key &ku, std::span<const std::uint8_t> engine_id, Key &kul) noexcept;
// The privacy key for `p` from the localised key, extended as described above when the
// cipher needs more bytes than the hash gives.
bool priv_key(Auth a, Priv p, const Key &kul, Key &out) noexcept;

// The truncated HMAC of `message` into `mac` (mac_size(a) bytes).
bool hmac(Auth a, const Key &kul, std::span<const std::uint8_t> message,
          std::span<std::uint8_t> mac, Prepared *prepared = nullptr) noexcept;

// Encrypts `plain` into `out`; `out` must hold plain.size() rounded up to 8 for DES,
// plain.size() for AES. `salt` is the 8-byte msgPrivacyParameters to send; boots and time
// are the values the message carries (AES takes them into its IV). Returns the bytes
// written, 0 on failure.
std::size_t encrypt(Priv p, const Key &key, std::uint32_t boots, std::uint32_t time,
                    std::span<const std::uint8_t, 8> salt, std::span<const std::uint8_t> plain,
                    std::span<std::uint8_t> out, Prepared *prepared = nullptr) noexcept;
// Decrypts into `out` (at least cipher.size() bytes). DES refuses a length that is not a
// multiple of 8. Returns false on failure; the plain text is cipher.size() bytes long
// (DES padding stays, the BER inside says where the data ends).
bool decrypt(Priv p, const Key &key, std::uint32_t boots, std::uint32_t time,
             std::span<const std::uint8_t> salt, std::span<const std::uint8_t> cipher,
             std::span<std::uint8_t> out, Prepared *prepared = nullptr) noexcept;

// Eight fresh salt bytes: a per-process random start, then counting (RFC 3414 8.1.1.1
// and RFC 3826 3.1.2.1 want salts that do not repeat under one key).
void next_salt(std::uint8_t salt[8]) noexcept;

}  // namespace kivo8::v3
