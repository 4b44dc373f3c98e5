// Bounded byte reader and writer used by every decoder and encoder.
//
// Both compare counts, never pointers, and stay failed after the first refused
// operation, so decode code can run flat and check once at the end. Nested data gets a
// child reader taken from its parent: the child can never read past the parent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace kivo8 {

class ByteReader {
 public:
  ByteReader() noexcept = default;
  explicit ByteReader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  ByteReader(const std::uint8_t *data, std::size_t size) noexcept
      : bytes_(data == nullptr ? std::span<const std::uint8_t>{} : std::span(data, size)) {}

  std::size_t left() const noexcept { return failed_ ? 0 : bytes_.size() - pos_; }
  std::size_t pos() const noexcept { return pos_; }
  bool failed() const noexcept { return failed_; }
  bool ok() const noexcept { return !failed_; }
  bool empty() const noexcept { return left() == 0; }
  // The bytes not yet read.
  std::span<const std::uint8_t> rest() const noexcept {
    return failed_ ? std::span<const std::uint8_t>{} : bytes_.subspan(pos_);
  }

  std::optional<std::span<const std::uint8_t>> take(std::size_t n) noexcept {
    // left() without its own look at failed_, which is tested here already.
    if (failed_ || n > bytes_.size() - pos_) return fail<std::span<const std::uint8_t>>();
    auto s = bytes_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  // A child reader over the next n bytes, which the parent skips.
  std::optional<ByteReader> child(std::size_t n) noexcept {
    auto s = take(n);
    if (!s) return std::nullopt;
    return ByteReader(*s);
  }
  std::optional<std::uint8_t> u8() noexcept {
    if (failed_ || left() < 1) return fail<std::uint8_t>();
    return bytes_[pos_++];
  }
  std::optional<std::uint8_t> peek() const noexcept {
    if (failed_ || left() < 1) return std::nullopt;
    return bytes_[pos_];
  }
  std::optional<std::uint16_t> be16() noexcept { return be<std::uint16_t, 2>(); }
  std::optional<std::uint32_t> be24() noexcept { return be<std::uint32_t, 3>(); }
  std::optional<std::uint32_t> be32() noexcept { return be<std::uint32_t, 4>(); }
  std::optional<std::uint32_t> le32() noexcept {
    auto s = take(4);
    if (!s) return std::nullopt;
    return std::uint32_t((*s)[0]) | std::uint32_t((*s)[1]) << 8 | std::uint32_t((*s)[2]) << 16 |
           std::uint32_t((*s)[3]) << 24;
  }
  bool skip(std::size_t n) noexcept { return take(n).has_value(); }
  bool copy_to(void *out, std::size_t n) noexcept {
    auto s = take(n);
    if (!s) return false;
    if (n != 0) std::memcpy(out, s->data(), n);
    return true;
  }

 private:
  template <typename T>
  std::optional<T> fail() noexcept {
    failed_ = true;
    return std::nullopt;
  }
  template <typename T, std::size_t N>
  std::optional<T> be() noexcept {
    auto s = take(N);
    if (!s) return std::nullopt;
    T v = 0;
    for (std::uint8_t b : *s) v = static_cast<T>((v << 8) | b);
    return v;
  }

  std::span<const std::uint8_t> bytes_{};
  std::size_t pos_ = 0;
  bool failed_ = false;
};

class ByteWriter {
 public:
  ByteWriter() noexcept = default;
  explicit ByteWriter(std::span<std::uint8_t> out) noexcept : out_(out) {}
  ByteWriter(std::uint8_t *data, std::size_t size) noexcept
      : out_(data == nullptr ? std::span<std::uint8_t>{} : std::span(data, size)) {}

  std::size_t room() const noexcept { return failed_ ? 0 : out_.size() - pos_; }
  std::size_t pos() const noexcept { return pos_; }
  bool failed() const noexcept { return failed_; }
  bool ok() const noexcept { return !failed_; }
  std::span<std::uint8_t> written() const noexcept { return out_.first(pos_); }
  std::uint8_t *data() const noexcept { return out_.data(); }

  // Reserves n bytes to be filled in later (e.g. a length header) and returns them.
  std::optional<std::span<std::uint8_t>> reserve(std::size_t n) noexcept {
    if (failed_ || n > out_.size() - pos_) {
      failed_ = true;
      return std::nullopt;
    }
    auto s = out_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  bool put(const void *bytes, std::size_t n) noexcept {
    auto s = reserve(n);
    if (!s) return false;
    if (n != 0) std::memcpy(s->data(), bytes, n);
    return true;
  }
  bool put(std::span<const std::uint8_t> bytes) noexcept { return put(bytes.data(), bytes.size()); }
  bool u8(std::uint8_t v) noexcept { return put(&v, 1); }
  bool be16(std::uint16_t v) noexcept {
    const std::uint8_t b[2] = {std::uint8_t(v >> 8), std::uint8_t(v)};
    return put(b, 2);
  }
  bool be24(std::uint32_t v) noexcept {
    const std::uint8_t b[3] = {std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
    return put(b, 3);
  }
  bool be32(std::uint32_t v) noexcept {
    const std::uint8_t b[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                               std::uint8_t(v)};
    return put(b, 4);
  }
  bool le32(std::uint32_t v) noexcept {
    const std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                               std::uint8_t(v >> 24)};
    return put(b, 4);
  }

 private:
  std::span<std::uint8_t> out_{};
  std::size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace kivo8
