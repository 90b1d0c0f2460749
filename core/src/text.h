// Message building without <format> (which g++ 12 lacks): cat() joins text
// and integers (decimal), hex8/hex4 give the digits of "0x%08x"/"0x%04x"
// (zero-padded lowercase; callers write the "0x"), bracketed_decimal a byte
// list as "[1, 2, 3, 4]".
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvane::detail {

inline void append_to(std::string& out, std::string_view s) { out.append(s); }
inline void append_to(std::string& out, const char* s) { out.append(s); }
inline void append_to(std::string& out, const std::string& s) { out.append(s); }
inline void append_to(std::string& out, char c) { out.push_back(c); }
template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append_to(std::string& out, T value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

template <typename... Args>
std::string cat(const Args&... args) {
  std::string out;
  (append_to(out, args), ...);
  return out;
}

inline std::string hex_padded(std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0 && value != 0; --i, value >>= 4)
    out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
  return out;
}
inline std::string hex8(std::uint32_t value) { return hex_padded(value, 8); }
inline std::string hex4(std::uint16_t value) { return hex_padded(value, 4); }

inline std::string bracketed_decimal(std::span<const std::uint8_t> bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out += ", ";
    append_to(out, unsigned{bytes[i]});
  }
  out += "]";
  return out;
}

}  // namespace corvane::detail
