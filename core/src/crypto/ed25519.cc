// Ed25519 through the EVP interface: one-shot EVP_DigestSign/Verify with no
// digest, the only form libcrypto offers for this algorithm.
#include "corvane/ed25519.h"

#include <openssl/evp.h>

#include <memory>

namespace corvane {

namespace {

struct PkeyFree {
  // EVP_PKEY_free clears the raw private key it holds.
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

Pkey private_key(std::span<const std::uint8_t, 32> seed) {
  return Pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
}

}  // namespace

const char* signing_error_text(SigningError error) {
  switch (error) {
    case SigningError::kCrypto: return "Ed25519 operation failed in libcrypto";
  }
  return "Ed25519 operation failed";
}

std::expected<Ed25519PublicKey, SigningError> ed25519_public_key(std::span<const std::uint8_t, 32> seed) {
  Pkey key = private_key(seed);
  Ed25519PublicKey out{};
  std::size_t len = out.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), out.data(), &len) != 1 || len != out.size()) {
    return std::unexpected(SigningError::kCrypto);
  }
  return out;
}

std::expected<Ed25519Signature, SigningError> ed25519_sign(std::span<const std::uint8_t, 32> seed,
                                                           std::span<const std::uint8_t> message) {
  Pkey key = private_key(seed);
  MdCtx ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return std::unexpected(SigningError::kCrypto);
  }
  Ed25519Signature out{};
  std::size_t len = out.size();
  if (EVP_DigestSign(ctx.get(), out.data(), &len, message.data(), message.size()) != 1 || len != out.size()) {
    return std::unexpected(SigningError::kCrypto);
  }
  return out;
}

bool ed25519_verify(std::span<const std::uint8_t, 32> public_key, std::span<const std::uint8_t> message,
                    std::span<const std::uint8_t, 64> signature) {
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

}  // namespace corvane
