// The key abstraction: an immutable 32-byte HMAC-SHA256 key with its BLAKE3
// fingerprint, shared by reference counting. When the last holder lets go the
// key bytes, and the hash states derived from them, are wiped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "corvane/types.h"

namespace corvane {

class Key {
 public:
  virtual ~Key() = default;
  // HMAC-SHA256 of `message` under the key.
  virtual Mac mac(std::span<const std::uint8_t> message) const = 0;
  // BLAKE3 of the key bytes, computed once when the key was made.
  virtual const KeyId& key_id() const = 0;
};

// Shared, immutable; safe to use from any number of threads at once.
using KeyHandle = std::shared_ptr<const Key>;

namespace detail {
struct HmacState;  // precomputed inner and outer SHA-256 states
}

class InMemoryKey : public Key {
 public:
  explicit InMemoryKey(std::span<const std::uint8_t, 32> key_bytes);
  ~InMemoryKey() override;
  InMemoryKey(const InMemoryKey&) = delete;
  InMemoryKey& operator=(const InMemoryKey&) = delete;

  Mac mac(std::span<const std::uint8_t> message) const override;
  const KeyId& key_id() const override { return key_id_; }

 private:
  std::array<std::uint8_t, 32> key_{};
  KeyId key_id_{};
  std::unique_ptr<detail::HmacState> state_;
};

// A key loaded from the operating system's key store; behaves exactly as an
// InMemoryKey and remembers where it came from.
class KeychainKey final : public InMemoryKey {
 public:
  KeychainKey(std::span<const std::uint8_t, 32> key_bytes, std::string service, std::string account)
      : InMemoryKey(key_bytes), service_(std::move(service)), account_(std::move(account)) {}
  const std::string& service() const { return service_; }
  const std::string& account() const { return account_; }

 private:
  std::string service_;
  std::string account_;
};

KeyHandle make_in_memory_key(std::span<const std::uint8_t, 32> key_bytes);

// ---------------------------------------------------------------------------
// Primitives.

// BLAKE3 (default mode, 32-byte output).
std::array<std::uint8_t, 32> blake3_256(std::span<const std::uint8_t> data);
// CRC-32 (reflected 0xEDB88320, the zlib one).
std::uint32_t crc32(std::span<const std::uint8_t> data);
// Compares two 32-byte values, examining every byte whatever differs: the
// words are folded together without a branch, so the time does not depend on
// where a difference lies. Inline: the verifier calls it three times a record.
inline bool ct_equal(const std::array<std::uint8_t, 32>& a, const std::array<std::uint8_t, 32>& b) {
  std::uint64_t diff = 0;
  for (std::size_t i = 0; i < 32; i += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    diff |= x ^ y;
  }
  return diff == 0;
}
// Overwrites memory with zeros in a way the compiler may not drop.
void secure_wipe(void* data, std::size_t len);

// Lowercase hexadecimal.
std::string to_hex(std::span<const std::uint8_t> bytes);

}  // namespace corvane
