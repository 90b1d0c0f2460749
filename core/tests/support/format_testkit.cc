#include "support/format_testkit.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace corvane::format_testkit {

Bytes from_hex(std::string_view hex) {
  std::string digits(hex);
  std::erase(digits, ' ');
  if (digits.size() % 2) throw std::invalid_argument("odd hex length");
  Bytes out(digits.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  return out;
}

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

PayloadMap Map(std::initializer_list<PayloadMap::Entry> entries) { return PayloadMap::from_unsorted(entries); }

PayloadValue nested_arrays(unsigned levels) {
  PayloadValue v = U(0);
  // Moved in: an initializer list would copy the whole tree.
  while (levels-- > 0) v = PayloadValue::array(PayloadArray(std::make_move_iterator(&v), std::make_move_iterator(&v + 1)));
  return v;
}

CborValue cbor_of(const PayloadValue& value) {
  switch (value.kind()) {
    case PayloadKind::kUint: return CborValue::uint(std::get<0>(value.v));
    case PayloadKind::kNint: return CborValue::nint(std::get<1>(value.v));
    case PayloadKind::kText: return CborValue::text(std::get<2>(value.v));
    case PayloadKind::kBytes: return CborValue::bytes(std::get<3>(value.v));
    case PayloadKind::kBool: return CborValue::boolean(std::get<4>(value.v));
    case PayloadKind::kMap: {
      CborMap m;
      for (const auto& [k, v] : std::get<5>(value.v)) m.emplace_back(CborValue::text(k), cbor_of(v));
      // Equal lengths share a head, so canonical order is (length, bytes).
      std::ranges::sort(m, {}, [](const auto& p) { return std::pair(p.first.as_text()->size(), *p.first.as_text()); });
      return CborValue::map(std::move(m));
    }
    case PayloadKind::kArray: {
      CborArray a;
      for (const auto& e : std::get<6>(value.v)) a.push_back(cbor_of(e));
      return CborValue::array(std::move(a));
    }
  }
  throw std::logic_error("unknown payload kind");
}

std::uint64_t PayloadGen::uint() {
  static constexpr std::uint64_t kEdges[] = {0, 1, 23, 24, 255, 256, 65535, 65536, 0xFFFFFFFF, 0x100000000, ~0ull};
  return rng_() % 2 ? kEdges[rng_() % std::size(kEdges)] : rng_() >> (rng_() % 64);
}

std::size_t PayloadGen::length() {
  static constexpr std::size_t kEdges[] = {0, 1, 22, 23, 24, 25, 254, 255, 256, 257};
  return rng_() % 2 ? kEdges[rng_() % std::size(kEdges)] : rng_() % 40;
}

// ASCII, or a mix with multi-byte characters; about length() bytes.
std::string PayloadGen::text() {
  static constexpr std::string_view kWide[] = {"\xc3\xa9", "\xe6\xb0\xb4", "\xf0\x90\x85\x91", "\x7f", "\""};
  const std::size_t target = length();
  const bool wide = rng_() % 3 == 0;
  std::string s;
  while (s.size() < target) s += wide && rng_() % 2 ? std::string(kWide[rng_() % std::size(kWide)]) : std::string(1, char('a' + rng_() % 26));
  return s;
}

PayloadValue PayloadGen::value(unsigned max_levels) {
  switch (max_levels == 0 ? rng_() % 5 : rng_() % 9) {
    case 0: return U(uint());
    case 1: return N(-1 - static_cast<std::int64_t>(uint() >> 1));
    case 2: return T(text());
    case 3: {
      Bytes b(length());
      return std::ranges::generate(b, [&] { return static_cast<std::uint8_t>(rng_()); }), B(std::move(b));
    }
    case 4: return Bool(rng_() % 2);
    case 5:
    case 6: return PayloadValue::map(map(max_levels - 1));
    default: {
      PayloadArray a(rng_() % 4);
      for (auto& e : a) e = value(max_levels - 1);
      return PayloadValue::array(std::move(a));
    }
  }
}

PayloadMap PayloadGen::map(unsigned max_levels) {
  static constexpr std::string_view kKeys[] = {"", "a", "b", "aa", "ab", "\xc3\xa9", "z", "records"};
  std::vector<PayloadMap::Entry> entries(rng_() % 5);
  for (auto& [k, v] : entries) {
    k = rng_() % 2 ? std::string(kKeys[rng_() % std::size(kKeys)]) : text();
    v = value(max_levels);
  }
  return PayloadMap::from_unsorted(std::move(entries));
}

}  // namespace corvane::format_testkit
