// Ed25519 signatures (RFC 8032) through OpenSSL's libcrypto, for signed
// checkpoints. A private key is its 32-byte seed; the caller owns it and
// wipes it. No copy is made here, and libcrypto clears its own copy when
// its key object is freed, before each call returns. No state is kept
// between calls.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>

namespace corvane {

using Ed25519Seed = std::array<std::uint8_t, 32>;
using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

// The only failure of key derivation and signing: libcrypto refused (out of
// memory, or a build without Ed25519).
enum class SigningError : std::uint8_t { kCrypto };
const char* signing_error_text(SigningError error);

// The public key that belongs to `seed`.
[[nodiscard]] std::expected<Ed25519PublicKey, SigningError> ed25519_public_key(std::span<const std::uint8_t, 32> seed);

// The signature of `message` under `seed` (deterministic: the same inputs
// always give the same signature).
[[nodiscard]] std::expected<Ed25519Signature, SigningError> ed25519_sign(std::span<const std::uint8_t, 32> seed,
                                                                         std::span<const std::uint8_t> message);

// True exactly when `signature` is a valid signature of `message` under
// `public_key`. A public key that is not a curve point, like any failure
// inside libcrypto, gives false.
[[nodiscard]] bool ed25519_verify(std::span<const std::uint8_t, 32> public_key, std::span<const std::uint8_t> message,
                                  std::span<const std::uint8_t, 64> signature);

}  // namespace corvane
