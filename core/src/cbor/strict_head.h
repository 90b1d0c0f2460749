// The one reader of CBOR heads, by the strict decoder's rules, and the small
// readers built on it: the decoder words its errors from what it reports,
// and the fast paths that read the common record shape in one pass refuse
// what it refuses, leaving the exact error to the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "corvane/cbor.h"
#include "utf8.h"

namespace corvane::detail {

struct Head {
  CborMajor major = kMajorUint;
  // The argument; for kMajorSimple the additional information.
  std::uint64_t arg = 0;
};

// Why read_head refused a head, in the order the checks run.
enum class HeadFault : std::uint8_t {
  kNone,
  kEnd,            // no byte left
  kSimple,         // major 7 other than the two booleans
  kTag,            // major 6
  kReserved,       // additional information 28 to 31 (indefinite lengths)
  kTruncated,      // the argument's bytes run past the end
  kNonCanonical,   // the argument fits a shorter form; h.arg holds it
  kNegativeRange,  // a negative integer below i64::MIN
};

// Reads the head at `p`: majors 0-5 with a shortest-form argument, or one of
// the two booleans. Moves `p` past it on success and leaves it otherwise.
// Inlined everywhere: it runs some thirty times per record.
[[gnu::always_inline]] inline HeadFault read_head(const std::uint8_t*& p, const std::uint8_t* end, Head& h) {
  if (p >= end) return HeadFault::kEnd;
  const std::uint8_t initial = *p;
  const std::uint8_t info = initial & 31;
  h.major = static_cast<CborMajor>(initial >> 5);
  if (initial >= (kMajorTag << 5)) {
    h.arg = info;
    if (h.major == kMajorTag) return HeadFault::kTag;
    if (info != kSimpleFalse && info != kSimpleTrue) return HeadFault::kSimple;
    ++p;
    return HeadFault::kNone;
  }
  if (info < 24) {
    h.arg = info;
    ++p;
    return HeadFault::kNone;
  }
  if (info > 27) return HeadFault::kReserved;
  const std::size_t width = std::size_t{1} << (info - 24);
  if (static_cast<std::size_t>(end - p) <= width) return HeadFault::kTruncated;
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
  h.arg = arg;
  static constexpr std::uint64_t kShortestFrom[] = {24, 0x100, 0x10000, 0x100000000};
  if (arg < kShortestFrom[info - 24]) return HeadFault::kNonCanonical;
  if (h.major == kMajorNint && (arg >> 63) != 0) return HeadFault::kNegativeRange;
  p += 1 + width;
  return HeadFault::kNone;
}

[[gnu::always_inline]] inline bool head_ok(const std::uint8_t*& p, const std::uint8_t* end, Head& h) {
  return read_head(p, end, h) == HeadFault::kNone;
}

// Moves past the content of a string whose head `h` was just read, checking
// that it is there (and UTF-8 for text); any other scalar has none.
[[gnu::always_inline]] inline bool scalar_content(const std::uint8_t*& p, const std::uint8_t* end, const Head& h) {
  if (h.major != kMajorBytes && h.major != kMajorText) return true;
  if (h.arg > static_cast<std::uint64_t>(end - p)) return false;
  const auto len = static_cast<std::size_t>(h.arg);
  if (h.major == kMajorText && !utf8_ok(p, len)) return false;
  p += len;
  return true;
}

// Moves past the rest of an item whose head `h` was just read, nested items
// included, without checking string contents or key order: for input that
// has passed validate_canonical. False only when the bytes end too soon.
inline bool skip_rest(const std::uint8_t*& p, const std::uint8_t* end, Head h) {
  std::uint64_t pending = 0;
  for (;;) {
    const auto left = static_cast<std::uint64_t>(end - p);
    // Every item takes a byte at least, which also bounds the counts.
    if (h.major >= kMajorBytes && h.major <= kMajorMap && h.arg > left) return false;
    if (h.major == kMajorBytes || h.major == kMajorText) p += h.arg;
    if (h.major == kMajorArray) pending += h.arg;
    if (h.major == kMajorMap) pending += 2 * h.arg;
    if (pending == 0) return true;
    --pending;
    if (!head_ok(p, end, h)) return false;
  }
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
  if (!head_ok(p, end, h) || h.major != kMajorUint) return false;
  out = h.arg;
  return true;
}

// A byte string of exactly N bytes; `out` points at its content.
template <std::size_t N>
[[gnu::always_inline]] inline bool bytes_field(const std::uint8_t*& p, const std::uint8_t* end,
                                               const std::uint8_t*& out) {
  constexpr std::size_t head = head_len(N);
  static_assert(head <= 2);
  // The shortest head: the length inline below 24, else in one byte.
  constexpr auto initial = static_cast<std::uint8_t>(kMajorBytes << 5 | (head == 1 ? N : 24));
  if (static_cast<std::size_t>(end - p) < head + N) return false;
  if (p[0] != initial || (head == 2 && p[1] != N)) return false;
  out = p + head;
  p += head + N;
  return true;
}

[[gnu::always_inline]] inline bool text_field(const std::uint8_t*& p, const std::uint8_t* end, std::string_view& out) {
  Head h;
  if (!head_ok(p, end, h) || h.major != kMajorText) return false;
  const std::uint8_t* content = p;
  if (!scalar_content(p, end, h)) return false;
  out = std::string_view(reinterpret_cast<const char*>(content), static_cast<std::size_t>(h.arg));
  return true;
}

// The key of a payload map entry: a text string sorting after the key before
// it (`previous`, empty for the first) in canonical order.
[[gnu::always_inline]] inline bool text_key(const std::uint8_t*& p, const std::uint8_t* end, ByteView& previous,
                                            std::string_view& text) {
  const std::uint8_t* key = p;
  if (!text_field(p, end, text)) return false;
  const ByteView key_bytes(key, static_cast<std::size_t>(p - key));
  if (!previous.empty() && !canonical_less(previous, key_bytes)) return false;
  previous = key_bytes;
  return true;
}

}  // namespace corvane::detail
