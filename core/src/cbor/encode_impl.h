// Raw-pointer encoding primitives: the caller has sized the buffer exactly
// (from the length functions), so no step checks capacity.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "corvane/cbor.h"

namespace corvane::detail {

inline std::uint8_t* put_head(std::uint8_t* p, std::uint8_t major, std::uint64_t argument) {
  const auto initial = static_cast<std::uint8_t>(major << 5);
  if (argument < 24) {
    *p = static_cast<std::uint8_t>(initial | argument);
    return p + 1;
  }
  int width;
  if (argument <= 0xFF) {
    width = 1, *p = initial | 24;
  } else if (argument <= 0xFFFF) {
    width = 2, *p = initial | 25;
  } else if (argument <= 0xFFFFFFFFu) {
    width = 4, *p = initial | 26;
  } else {
    width = 8, *p = initial | 27;
  }
  for (int i = 0; i < width; ++i) p[1 + i] = static_cast<std::uint8_t>(argument >> (8 * (width - 1 - i)));
  return p + 1 + width;
}

inline std::uint8_t* put_raw(std::uint8_t* p, const void* data, std::size_t len) {
  if (len != 0) std::memcpy(p, data, len);
  return p + len;
}

inline std::uint8_t* put_text(std::uint8_t* p, std::string_view s) {
  return put_raw(put_head(p, kMajorText, s.size()), s.data(), s.size());
}

std::uint8_t* put_payload_value(std::uint8_t* p, const PayloadValue& value);
std::uint8_t* put_payload_map(std::uint8_t* p, const PayloadMap& map);
// Encoded length of a payload map, with no depth limit (the encoder has
// none; the writer checks depth separately).
std::size_t payload_map_len_unbounded(const PayloadMap& map);

}  // namespace corvane::detail
