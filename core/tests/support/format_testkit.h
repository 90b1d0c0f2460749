// Helpers shared by the format-layer tests: hex literals, payload builders, a
// random payload generator and the payload-to-CborValue oracle.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "corvane/cbor.h"

namespace corvane::format_testkit {

// "a2 01 02" or "a20102" -> bytes; blanks are ignored.
Bytes from_hex(std::string_view hex);
Bytes bytes_of(std::string_view text);

// Terse payload builders for tables.
inline PayloadValue U(std::uint64_t u) { return PayloadValue::uint(u); }
inline PayloadValue N(std::int64_t n) { return PayloadValue::nint(n); }
inline PayloadValue T(std::string s) { return PayloadValue::text(std::move(s)); }
inline PayloadValue B(Bytes b) { return PayloadValue::bytes(std::move(b)); }
inline PayloadValue Bool(bool b) { return PayloadValue::boolean(b); }
PayloadMap Map(std::initializer_list<PayloadMap::Entry> entries);
// `levels` one-element arrays around Uint(0): under a payload key the
// innermost item sits at depth levels + 2.
PayloadValue nested_arrays(unsigned levels);

// What the decoder must give back for the encoding of `value`: the same tree,
// map pairs in canonical key order (shorter encoded key first, then bytewise).
CborValue cbor_of(const PayloadValue& value);

// Random payload trees with containers at most `max_levels` deep; integers,
// string lengths and counts cluster around the head-size boundaries.
class PayloadGen {
 public:
  explicit PayloadGen(std::uint64_t seed) : rng_(seed) {}
  PayloadValue value(unsigned max_levels);
  PayloadMap map(unsigned max_levels);
  std::uint64_t uint();
  std::string text();
  std::mt19937_64& rng() { return rng_; }

 private:
  std::size_t length();
  std::mt19937_64 rng_;
};

}  // namespace corvane::format_testkit
