// Reading the heads and fields of canonical CBOR straight from bytes, by the
// strict decoder's rules, for the fast paths that decode the common record
// shape in one pass. Each reader refuses what it does not take; the caller
// then falls back to the full decoder for the exact error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "utf8.h"

namespace corvane::detail {

struct Head {
  std::uint8_t major = 0;
  std::uint64_t arg = 0;
};

// A head as the strict decoder accepts it: majors 0-5 with a shortest-form
// argument, no negative integer below i64::MIN, and the two booleans.
// Inlined everywhere: it runs some thirty times per record.
[[gnu::always_inline]] inline bool read_strict_head(const std::uint8_t*& p, const std::uint8_t* end, Head& h) {
  if (p >= end) return false;
  const std::uint8_t initial = *p;
  const std::uint8_t info = initial & 31;
  h.major = initial >> 5;
  if (initial >= 0xC0) {  // tags and major 7: only the booleans
    h.arg = info;
    ++p;
    return h.major == 7 && (info == 20 || info == 21);
  }
  if (info < 24) {
    h.arg = info;
    ++p;
    return true;
  }
  if (info > 27) return false;
  const std::size_t width = std::size_t{1} << (info - 24);
  if (static_cast<std::size_t>(end - p) <= width) return false;
  std::uint64_t arg;
  switch (info) {
    case 24: arg = p[1]; break;
    case 25: {
      std::uint16_t v;
      std::memcpy(&v, p + 1, 2);
      arg = __builtin_bswap16(v);
      break;
    }
    case 26: {
      std::uint32_t v;
      std::memcpy(&v, p + 1, 4);
      arg = __builtin_bswap32(v);
      break;
    }
    default: {
      std::uint64_t v;
      std::memcpy(&v, p + 1, 8);
      arg = __builtin_bswap64(v);
      break;
    }
  }
  static constexpr std::uint64_t kShortestFrom[] = {24, 0x100, 0x10000, 0x100000000};
  if (arg < kShortestFrom[info - 24] || (h.major == 1 && (arg >> 63) != 0)) return false;
  h.arg = arg;
  p += 1 + width;
  return true;
}

// Field readers for the record's usual shape; each moves past its field
// and refuses anything else.
[[gnu::always_inline]] inline bool key_byte(const std::uint8_t*& p, const std::uint8_t* end, std::uint8_t key) {
  if (p == end || *p != key) return false;
  ++p;
  return true;
}

[[gnu::always_inline]] inline bool uint_field(const std::uint8_t*& p, const std::uint8_t* end, std::uint64_t& out) {
  Head h;
  if (!read_strict_head(p, end, h) || h.major != 0) return false;
  out = h.arg;
  return true;
}

template <std::size_t N>
[[gnu::always_inline]] inline bool bytes_field(const std::uint8_t*& p, const std::uint8_t* end, std::array<std::uint8_t, N>& out) {
  static_assert(N == 16 || N == 32);
  const std::size_t head = N < 24 ? 1 : 2;
  if (static_cast<std::size_t>(end - p) < head + N) return false;
  if (N < 24 ? p[0] != 0x40 + N : (p[0] != 0x58 || p[1] != N)) return false;
  std::memcpy(out.data(), p + head, N);
  p += head + N;
  return true;
}

[[gnu::always_inline]] inline bool text_field(const std::uint8_t*& p, const std::uint8_t* end, std::string_view& out) {
  Head h;
  if (!read_strict_head(p, end, h) || h.major != 3 || h.arg > static_cast<std::uint64_t>(end - p)) return false;
  const auto len = static_cast<std::size_t>(h.arg);
  if (!utf8_ok(p, len)) return false;
  out = std::string_view(reinterpret_cast<const char*>(p), len);
  p += len;
  return true;
}

}  // namespace corvane::detail
