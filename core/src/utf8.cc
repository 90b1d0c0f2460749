#include "utf8.h"

namespace corvane::detail {

bool valid_utf8(const std::uint8_t* s, std::size_t len) {
  std::size_t i = 0;
  while (i < len) {
    // Eight ASCII bytes at a time.
    if (i + 8 <= len) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    char32_t cp;
    const std::size_t n = decode_utf8(s + i, len - i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace corvane::detail
