// The debug form of texts inside messages.
#include <cstdint>

#include "corvane/quote.h"
#include "utf8.h"

namespace corvane {

namespace {

// Characters shown as \u{...}: controls, and the invisible format and
// separator characters that would make a message misleading.
bool is_printable(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
  if (cp == 0xAD || cp == 0x34F || cp == 0x61C || cp == 0x180E) return false;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F)) {
    return false;
  }
  if (cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFB) || (cp >= 0xFFFE && cp <= 0xFFFF)) return false;
  if ((cp >= 0xE000 && cp <= 0xF8FF) || cp >= 0xF0000) return false;  // private use
  if (cp >= 0xE0000 && cp <= 0xE0FFF) return false;                   // tags and variation selectors
  return true;
}

// Appends code point `cp` as it shows between `quote` characters.
void append_escaped(std::string& out, char32_t cp, char quote) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (cp) {
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  if (cp == static_cast<char32_t>(quote)) {
    out.push_back('\\');
    out.push_back(quote);
    return;
  }
  if (is_printable(cp) && !(cp >= 0xD800 && cp <= 0xDFFF)) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
      buf[0] = static_cast<char>(cp), n = 1;
    } else if (cp < 0x800) {
      buf[0] = static_cast<char>(0xC0 | (cp >> 6)), buf[1] = static_cast<char>(0x80 | (cp & 0x3F)), n = 2;
    } else if (cp < 0x10000) {
      buf[0] = static_cast<char>(0xE0 | (cp >> 12)), buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[2] = static_cast<char>(0x80 | (cp & 0x3F)), n = 3;
    } else {
      buf[0] = static_cast<char>(0xF0 | (cp >> 18)), buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), buf[3] = static_cast<char>(0x80 | (cp & 0x3F)), n = 4;
    }
    out.append(buf, n);
    return;
  }
  out += "\\u{";
  bool started = false;
  for (int shift = 20; shift >= 0; shift -= 4) {
    const unsigned digit = (cp >> shift) & 0xF;
    if (digit != 0 || started || shift == 0) {
      out.push_back(kHex[digit]);
      started = true;
    }
  }
  out.push_back('}');
}

}  // namespace

std::string debug_quote(std::string_view text) {
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const std::size_t n =
        detail::decode_utf8(reinterpret_cast<const std::uint8_t*>(text.data()) + i, text.size() - i, cp);
    if (n == 0) {
      const auto byte = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out.push_back(kUpperHex[byte >> 4]);
      out.push_back(kUpperHex[byte & 0xF]);
      ++i;
      continue;
    }
    append_escaped(out, cp, '"');
    i += n;
  }
  out.push_back('"');
  return out;
}

std::string debug_char(char32_t cp) {
  std::string out = "'";
  append_escaped(out, cp, '\'');
  out.push_back('\'');
  return out;
}

}  // namespace corvane
