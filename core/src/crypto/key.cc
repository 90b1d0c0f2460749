// HMAC-SHA256 with the key's inner and outer SHA-256 states computed once:
// each MAC then costs two copies of a context instead of two extra
// compressions and a key setup.
#include "corvane/key.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace corvane {

namespace detail {
struct HmacState {
  SHA256_CTX inner;  // after hashing key ^ ipad
  SHA256_CTX outer;  // after hashing key ^ opad
};
}  // namespace detail

InMemoryKey::InMemoryKey(std::span<const std::uint8_t, 32> key_bytes) : state_(std::make_unique<detail::HmacState>()) {
  std::copy(key_bytes.begin(), key_bytes.end(), key_.begin());
  key_id_ = blake3_256(key_);

  // The key is shorter than a block: pad it with zeros to 64 bytes.
  std::uint8_t pad[SHA256_CBLOCK];
  for (std::size_t i = 0; i < sizeof pad; ++i) pad[i] = (i < key_.size() ? key_[i] : 0) ^ 0x36;
  SHA256_Init(&state_->inner);
  SHA256_Update(&state_->inner, pad, sizeof pad);
  for (std::size_t i = 0; i < sizeof pad; ++i) pad[i] = (i < key_.size() ? key_[i] : 0) ^ 0x5C;
  SHA256_Init(&state_->outer);
  SHA256_Update(&state_->outer, pad, sizeof pad);
  secure_wipe(pad, sizeof pad);
}

InMemoryKey::~InMemoryKey() {
  secure_wipe(key_.data(), key_.size());
  // The primed states are as good as the key.
  secure_wipe(state_.get(), sizeof(detail::HmacState));
}

Mac InMemoryKey::mac(std::span<const std::uint8_t> message) const {
  Mac inner_digest;
  SHA256_CTX ctx = state_->inner;
  SHA256_Update(&ctx, message.data(), message.size());
  SHA256_Final(inner_digest.data(), &ctx);
  Mac out;
  ctx = state_->outer;
  SHA256_Update(&ctx, inner_digest.data(), inner_digest.size());
  SHA256_Final(out.data(), &ctx);
  return out;
}

KeyHandle make_in_memory_key(std::span<const std::uint8_t, 32> key_bytes) {
  return std::make_shared<const InMemoryKey>(key_bytes);
}

}  // namespace corvane
