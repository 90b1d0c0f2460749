// UTF-8 as the log accepts it: strict (no overlong forms, no surrogates,
// nothing above U+10FFFF). One sequence decoder serves the validators and
// the quoting of texts in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvane::detail {

// Decodes the sequence at the start of s[0, len) (len > 0) into `cp`;
// returns its length, or 0 when the bytes there are not a valid sequence.
inline std::size_t decode_utf8(const std::uint8_t* s, std::size_t len, char32_t& cp) {
  const std::uint8_t c = s[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  std::size_t n;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (len < n || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[k] & 0x3F);
  }
  return n;
}

// Whether all of s[0, len) is valid UTF-8.
bool valid_utf8(const std::uint8_t* s, std::size_t len);

// valid_utf8, with the all-ASCII case (nearly every text in a record)
// checked inline: the verifier's fast path runs it on every text field.
[[gnu::always_inline]] inline bool utf8_ok(const std::uint8_t* s, std::size_t len) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s + i, 8);
    high |= word;
  }
  if (i < len && len >= 8) {
    std::uint64_t word;  // the last eight bytes, overlapping bytes already seen
    std::memcpy(&word, s + len - 8, 8);
    high |= word;
  } else {
    for (; i < len; ++i) high |= s[i];
  }
  return (high & 0x8080808080808080ull) == 0 || valid_utf8(s, len);
}

}  // namespace corvane::detail
