// The 32-byte values that the crypto and format parts both speak of, apart
// from either so that neither needs the other for them.
#pragma once

#include <array>
#include <cstdint>

namespace corvane {

using Mac = std::array<std::uint8_t, 32>;    // HMAC-SHA256 of a record's bytes, or a chain value
using KeyId = std::array<std::uint8_t, 32>;  // BLAKE3 of the key bytes

}  // namespace corvane
