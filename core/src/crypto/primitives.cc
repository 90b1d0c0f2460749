#include <blake3.h>
#define __STDC_WANT_LIB_EXT1__ 1
#include <string.h>
#include <zlib.h>

#include "corvane/key.h"

namespace corvane {

std::array<std::uint8_t, 32> blake3_256(std::span<const std::uint8_t> data) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, data.data(), data.size());
  std::array<std::uint8_t, 32> out;
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

std::uint32_t crc32(std::span<const std::uint8_t> data) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // zlib takes uInt lengths; headers are tiny, but stay correct for any size.
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const uInt chunk = left > 0x40000000u ? 0x40000000u : static_cast<uInt>(left);
    crc = ::crc32(crc, p, chunk);
    p += chunk;
    left -= chunk;
  }
  return static_cast<std::uint32_t>(crc);
}

void secure_wipe(void* data, std::size_t len) {
  if (len == 0) return;
#ifdef __APPLE__
  memset_s(data, len, 0, len);
#else
  explicit_bzero(data, len);
#endif
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return out;
}

}  // namespace corvane
