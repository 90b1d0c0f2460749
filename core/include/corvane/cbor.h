// The canonical CBOR subset used for records: unsigned and negative integers,
// byte and text strings, arrays, maps and booleans, definite lengths only,
// shortest-form heads and maps in canonical key order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "corvane/errors.h"

namespace corvane {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The major type: the top three bits of a head's first byte.
enum CborMajor : std::uint8_t {
  kMajorUint = 0,
  kMajorNint = 1,
  kMajorBytes = 2,
  kMajorText = 3,
  kMajorArray = 4,
  kMajorMap = 5,
  kMajorTag = 6,
  kMajorSimple = 7,  // here only false (20) and true (21)
};
inline constexpr std::uint8_t kSimpleFalse = 20;
inline constexpr std::uint8_t kSimpleTrue = 21;

inline constexpr unsigned MAX_CBOR_DEPTH = 16;
// The decoder reserves room for at most this many elements or pairs before
// it has decoded them, whatever count a head declares.
inline constexpr std::size_t kMaxPrealloc = 1024;

// ---------------------------------------------------------------------------
// CborValue: one decoded item. A decoded map keeps its pairs in input order,
// which the decoder has checked to be canonical.

struct CborValue;
using CborArray = std::vector<CborValue>;
using CborMap = std::vector<std::pair<CborValue, CborValue>>;

enum class CborKind : std::uint8_t { kUint, kNint, kBytes, kText, kArray, kMap, kBool };

struct CborValue {
  // Alternatives in CborKind order. kNint holds a negative int64.
  std::variant<std::uint64_t, std::int64_t, Bytes, std::string, CborArray, CborMap, bool> v;

  CborKind kind() const { return static_cast<CborKind>(v.index()); }

  static CborValue uint(std::uint64_t u) { return {decltype(v){std::in_place_index<0>, u}}; }
  static CborValue nint(std::int64_t n) { return {decltype(v){std::in_place_index<1>, n}}; }
  static CborValue bytes(Bytes b) { return {decltype(v){std::in_place_index<2>, std::move(b)}}; }
  static CborValue text(std::string s) { return {decltype(v){std::in_place_index<3>, std::move(s)}}; }
  static CborValue array(CborArray a) { return {decltype(v){std::in_place_index<4>, std::move(a)}}; }
  static CborValue map(CborMap m) { return {decltype(v){std::in_place_index<5>, std::move(m)}}; }
  static CborValue boolean(bool b) { return {decltype(v){std::in_place_index<6>, b}}; }

  // Null when the value is of another kind.
  const std::uint64_t* as_uint() const { return v.index() == 0 ? &std::get<0>(v) : nullptr; }
  const std::int64_t* as_nint() const { return v.index() == 1 ? &std::get<1>(v) : nullptr; }
  const Bytes* as_bytes() const { return v.index() == 2 ? &std::get<2>(v) : nullptr; }
  const std::string* as_text() const { return v.index() == 3 ? &std::get<3>(v) : nullptr; }
  const CborArray* as_array() const { return v.index() == 4 ? &std::get<4>(v) : nullptr; }
  const CborMap* as_map() const { return v.index() == 5 ? &std::get<5>(v) : nullptr; }
  const bool* as_bool() const { return v.index() == 6 ? &std::get<6>(v) : nullptr; }

  bool operator==(const CborValue&) const = default;
};

// The debug form used inside messages: Uint(5), Nint(-3), Bool(true),
// Bytes([1, 2]), Text("a\"b"), Array([...]), Map([(k, v), ...]).
std::string debug_string(const CborValue& value);

// ---------------------------------------------------------------------------
// PayloadValue: the value of a record payload tree.

struct PayloadValue;

// A text-keyed map with unique keys, kept sorted by bytewise key comparison.
class PayloadMap {
 public:
  using Entry = std::pair<std::string, PayloadValue>;

  PayloadMap() = default;
  // Sorts the entries bytewise; of entries with equal keys the last one wins.
  static PayloadMap from_unsorted(std::vector<Entry> entries);

  // Inserts or replaces the entry for `key`, keeping the order.
  void insert_or_assign(std::string key, PayloadValue value);

  using const_iterator = std::vector<Entry>::const_iterator;
  const std::vector<Entry>& entries() const { return entries_; }
  // Defined below, where PayloadValue is complete.
  std::size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;
  const PayloadValue* find(std::string_view key) const;

  bool operator==(const PayloadMap&) const;

  // The order of the keys: bytewise, as unsigned bytes. Decided on the
  // first byte where it can be, without a call: keys rarely share it.
  static bool key_less(std::string_view a, std::string_view b) {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
      return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    }
    return a < b;
  }

 private:
  std::vector<Entry> entries_;
};

using PayloadArray = std::vector<PayloadValue>;

enum class PayloadKind : std::uint8_t { kUint, kNint, kText, kBytes, kBool, kMap, kArray };

struct PayloadValue {
  // Alternatives in PayloadKind order. kNint holds a negative int64.
  std::variant<std::uint64_t, std::int64_t, std::string, Bytes, bool, PayloadMap, PayloadArray> v;

  PayloadKind kind() const { return static_cast<PayloadKind>(v.index()); }

  static PayloadValue uint(std::uint64_t u) { return {decltype(v){std::in_place_index<0>, u}}; }
  static PayloadValue nint(std::int64_t n) { return {decltype(v){std::in_place_index<1>, n}}; }
  static PayloadValue text(std::string s) { return {decltype(v){std::in_place_index<2>, std::move(s)}}; }
  static PayloadValue bytes(Bytes b) { return {decltype(v){std::in_place_index<3>, std::move(b)}}; }
  static PayloadValue boolean(bool b) { return {decltype(v){std::in_place_index<4>, b}}; }
  static PayloadValue map(PayloadMap m) { return {decltype(v){std::in_place_index<5>, std::move(m)}}; }
  static PayloadValue array(PayloadArray a) { return {decltype(v){std::in_place_index<6>, std::move(a)}}; }

  bool operator==(const PayloadValue&) const = default;
};

inline bool PayloadMap::operator==(const PayloadMap& other) const { return entries_ == other.entries_; }
inline std::size_t PayloadMap::size() const { return entries_.size(); }
inline bool PayloadMap::empty() const { return entries_.empty(); }
inline PayloadMap::const_iterator PayloadMap::begin() const { return entries_.begin(); }
inline PayloadMap::const_iterator PayloadMap::end() const { return entries_.end(); }

// ---------------------------------------------------------------------------
// Encoding. The encoder cannot fail on valid input; a non-negative kNint is a
// broken contract and is encoded as if its bitwise complement were meant
// (no valid input reaches it; see encode_payload_value).

// Appends the shortest head for (major, argument) to `out`.
void append_head(Bytes& out, std::uint8_t major, std::uint64_t argument);
// Appends raw bytes (text or binary) with one memmove.
inline void append_raw(Bytes& out, const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  out.insert(out.end(), p, p + len);
}
// Length of that head: 1, 2, 3, 5 or 9.
constexpr std::size_t head_len(std::uint64_t argument) {
  return argument < 24 ? 1 : argument <= 0xFF ? 2 : argument <= 0xFFFF ? 3 : argument <= 0xFFFFFFFFu ? 5 : 9;
}

Bytes encode_head(std::uint8_t major, std::uint64_t argument);
Bytes encode_payload_value(const PayloadValue& value);
// Appends the canonical encoding of `value` to `out`, reusing its capacity.
void append_payload_value(Bytes& out, const PayloadValue& value);
void append_payload_map(Bytes& out, const PayloadMap& map);

// Joins already-encoded values under text keys, in canonical key order.
Bytes encode_text_keyed_map(const std::vector<std::pair<std::string, Bytes>>& entries);
// Joins already-encoded values under distinct unsigned keys, in numeric order.
Bytes encode_uint_keyed_map(const std::vector<std::pair<std::uint64_t, Bytes>>& entries);

// Encoded length of a payload value, and the deepest nesting level it reaches
// when placed at `depth`. Stops descending once an item would sit at
// MAX_CBOR_DEPTH or deeper: returns nullopt then, so no input can make this
// recurse more than MAX_CBOR_DEPTH levels.
std::optional<std::size_t> payload_encoded_len(const PayloadValue& value, unsigned depth);
std::optional<std::size_t> payload_map_encoded_len(const PayloadMap& map, unsigned depth);

// True when key encoding `a` sorts strictly before `b` in canonical order:
// shorter first, then bytewise.
inline bool canonical_less(ByteView a, ByteView b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return !a.empty() && std::memcmp(a.data(), b.data(), a.size()) < 0;
}

// ---------------------------------------------------------------------------
// Decoding.

// Decodes one item at `pos` and `depth`. On success `pos` stands just after
// it. With `out` null the input is checked exactly as for a full decode
// (same errors, same order) without building a value.
std::expected<void, CborError> decode_item(ByteView buffer, std::size_t& pos, unsigned depth, CborValue* out);
// Convenience form returning the value.
std::expected<CborValue, CborError> decode_item(ByteView buffer, std::size_t& pos, unsigned depth);

// Decodes one item spanning the whole buffer.
std::expected<CborValue, CborError> decode_canonical(ByteView buffer);
// Checks that the buffer holds exactly one canonical item, without building it.
std::expected<void, CborError> validate_canonical(ByteView buffer);

}  // namespace corvane
