#include <algorithm>
#include <type_traits>
#include <utility>

#include "cbor/strict_head.h"
#include "corvane/reader.h"
#include "reader/frame_io.h"

namespace corvane {

StoredRecord::StoredRecord() = default;

namespace {

constexpr const char* kFieldNames[] = {"",       "record_id", "prev_hash", "ts_wall",
                                       "ts_mono_delta", "session_id", "actor", "event",
                                       "payload", "key_id",    "schema_version"};

// A field's contents, moved out of the decoded item when it is ours to take.
template <bool kMove, class T>
decltype(auto) take(T& x) {
  if constexpr (kMove) {
    return std::move(x);
  } else {
    return static_cast<const T&>(x);
  }
}

std::string field(unsigned key) { return std::string("field `") + kFieldNames[key] + "`"; }

struct Decoder {
  std::uint16_t segment;
  std::uint64_t offset;

  std::unexpected<ReaderError> fail(std::string message) const {
    return std::unexpected(ReaderError::record_decode(segment, offset, std::move(message)));
  }

  template <bool kMove, class Value>
  std::expected<PayloadMap, ReaderError> payload_map(Value& value, const char* key_message) const {
    auto& pairs = std::get<CborMap>(value.v);
    std::vector<PayloadMap::Entry> entries;
    entries.reserve(pairs.size());
    for (auto& [k, v] : pairs) {
      if (k.kind() != CborKind::kText) return fail(key_message);
      auto converted = payload<kMove>(v);
      if (!converted) return std::unexpected(converted.error());
      entries.emplace_back(take<kMove>(std::get<std::string>(k.v)), std::move(*converted));
    }
    return PayloadMap::from_unsorted(std::move(entries));
  }

  template <bool kMove, class Value>
  std::expected<PayloadValue, ReaderError> payload(Value& value) const {
    switch (value.kind()) {
      case CborKind::kUint: return PayloadValue::uint(std::get<std::uint64_t>(value.v));
      case CborKind::kNint: return PayloadValue::nint(std::get<std::int64_t>(value.v));
      case CborKind::kBytes: return PayloadValue::bytes(take<kMove>(std::get<Bytes>(value.v)));
      case CborKind::kText: return PayloadValue::text(take<kMove>(std::get<std::string>(value.v)));
      case CborKind::kBool: return PayloadValue::boolean(std::get<bool>(value.v));
      case CborKind::kArray: {
        auto& items = std::get<CborArray>(value.v);
        PayloadArray out;
        out.reserve(items.size());
        for (auto& item : items) {
          auto converted = payload<kMove>(item);
          if (!converted) return std::unexpected(converted.error());
          out.push_back(std::move(*converted));
        }
        return PayloadValue::array(std::move(out));
      }
      case CborKind::kMap: {
        auto map = payload_map<kMove>(value, "nested payload map key not text");
        if (!map) return std::unexpected(map.error());
        return PayloadValue::map(std::move(*map));
      }
    }
    return fail("nested payload map key not text");  // unreachable: every kind is handled
  }

  template <std::size_t N, class Value>
  std::expected<void, ReaderError> fixed_bytes(const Value& value, unsigned key,
                                               std::array<std::uint8_t, N>& out) const {
    const Bytes* bytes = value.as_bytes();
    if (bytes == nullptr) return fail(field(key) + " expected byte string, got " + debug_string(value));
    if (bytes->size() != N) {
      return fail(field(key) + " expected " + std::to_string(N) + "-byte bstr, got " +
                  std::to_string(bytes->size()) + " bytes");
    }
    std::copy(bytes->begin(), bytes->end(), out.begin());
    return {};
  }

  template <class Value>
  std::expected<std::uint64_t, ReaderError> u64(const Value& value, unsigned key) const {
    if (const std::uint64_t* u = value.as_uint()) return *u;
    return fail(field(key) + " expected u64, got " + debug_string(value));
  }

  template <bool kMove, class Value>
  std::expected<void, ReaderError> text(Value& value, unsigned key, std::string& out) const {
    if (value.kind() != CborKind::kText) return fail(field(key) + " expected text string, got " + debug_string(value));
    out = take<kMove>(std::get<std::string>(value.v));
    return {};
  }

  template <bool kMove, class Value>
  std::expected<void, ReaderError> set_field(Value& value, unsigned key, StoredRecord& r) const {
    switch (key) {
      case 1:
      case 4: {
        auto u = u64(value, key);
        if (!u) return std::unexpected(u.error());
        (key == 1 ? r.record_id : r.ts_mono_delta) = *u;
        return {};
      }
      case 2: return fixed_bytes(value, key, r.prev_hash);
      case 3: return text<kMove>(value, key, r.ts_wall);
      case 5: return fixed_bytes(value, key, r.session_id);
      case 6: return text<kMove>(value, key, r.actor);
      case 7: return text<kMove>(value, key, r.event);
      case 8: {
        if (value.kind() != CborKind::kMap) return fail("payload expected map, got " + debug_string(value));
        auto map = payload_map<kMove>(value, "payload map key not a text string");
        if (!map) return std::unexpected(map.error());
        r.payload = std::move(*map);
        return {};
      }
      case 9: return fixed_bytes(value, key, r.key_id);
      default: {  // 10
        auto u = u64(value, key);
        if (!u) return std::unexpected(u.error());
        if (*u > 255) return fail("schema_version " + std::to_string(*u) + " exceeds u8::MAX");
        r.schema_version = static_cast<std::uint8_t>(*u);
        return {};
      }
    }
  }

  template <bool kMove, class Value>
  std::expected<StoredRecord, ReaderError> record(Value& value, ByteView bytes, const Mac& hmac) const {
    auto* pairs = std::get_if<CborMap>(&value.v);
    if (pairs == nullptr) return fail("record payload is not a CBOR map");
    if (pairs->size() != 10) {
      return fail("record map has " + std::to_string(pairs->size()) + " entries (expected 10)");
    }
    StoredRecord r;
    unsigned seen = 0;
    for (auto& [k, v] : *pairs) {
      const std::uint64_t* key = k.as_uint();
      if (key == nullptr) return fail("record map key not an unsigned integer");
      if (*key < 1 || *key > 10) {
        return fail("unknown record-map key " + std::to_string(*key) + " (v0.1 reserves 1..=10)");
      }
      const auto ok = set_field<kMove>(v, static_cast<unsigned>(*key), r);
      if (!ok) return std::unexpected(ok.error());
      seen |= 1u << *key;
    }
    // Only a value built by hand can get here with a key missing: the
    // canonical decoder refuses repeated keys.
    for (unsigned key = 1; key <= 10; ++key) {
      if ((seen & (1u << key)) == 0) return fail(std::string("required field `") + kFieldNames[key] + "` missing");
    }
    r.segment_index = segment;
    r.byte_offset = offset;
    r.hmac = hmac;
    r.raw.assign(bytes.begin(), bytes.end());
    return r;
  }
};

}  // namespace

std::expected<StoredRecord, ReaderError> decode_stored_record(const CborValue& value, std::uint16_t segment,
                                                              std::uint64_t offset, ByteView record_bytes,
                                                              const Mac& stored_hmac) {
  return Decoder{segment, offset}.record<false>(value, record_bytes, stored_hmac);
}

std::expected<StoredRecord, ReaderError> decode_stored_record(CborValue&& value, std::uint16_t segment,
                                                              std::uint64_t offset, ByteView record_bytes,
                                                              const Mac& stored_hmac) {
  return Decoder{segment, offset}.record<true>(value, record_bytes, stored_hmac);
}

std::expected<PayloadValue, ReaderError> payload_from_cbor(const CborValue& value, std::uint16_t segment,
                                                           std::uint64_t offset) {
  return Decoder{segment, offset}.payload<false>(value);
}

namespace detail {

namespace {

bool fast_payload_value(const std::uint8_t*& p, const std::uint8_t* end, unsigned depth, PayloadValue& out);

// A scalar whose head is `h` and whose content (for a string, checked
// already) starts at `content`.
void build_scalar(const Head& h, const std::uint8_t* content, PayloadValue& out) {
  const auto len = static_cast<std::size_t>(h.arg);
  switch (h.major) {
    case 0: out.v.emplace<0>(h.arg); break;
    case 1: out.v.emplace<1>(-1 - static_cast<std::int64_t>(h.arg)); break;
    case 2: out.v.emplace<3>(content, content + len); break;
    case 3: out.v.emplace<2>(reinterpret_cast<const char*>(content), len); break;
    default: out.v.emplace<4>(h.arg == 21); break;  // read_strict_head lets only the booleans through
  }
}

// Moves past the content of a string whose head `h` was just read, checking
// it; any other scalar has none.
bool skip_content(const std::uint8_t*& p, const std::uint8_t* end, const Head& h) {
  if (h.major != 2 && h.major != 3) return true;
  if (h.arg > static_cast<std::uint64_t>(end - p)) return false;
  const auto len = static_cast<std::size_t>(h.arg);
  if (h.major == 3 && !utf8_ok(p, len)) return false;
  p += len;
  return true;
}

// The key of a map entry: a text string sorting after the key before it
// (`previous`, empty for the first) in canonical order.
bool map_key(const std::uint8_t*& p, const std::uint8_t* end, ByteView& previous, std::string_view& text) {
  const std::uint8_t* key = p;
  if (!text_field(p, end, text)) return false;
  const ByteView key_bytes(key, static_cast<std::size_t>(p - key));
  if (!previous.empty() && !canonical_less(previous, key_bytes)) return false;
  previous = key_bytes;
  return true;
}

// Maps of scalars (nearly every payload) with up to this many entries are
// checked and sorted bytewise before anything is built, so that each entry
// is built once, in its place.
constexpr std::size_t kFlatEntries = 32;

// Left uninitialized in bulk: plain members only.
struct FlatEntry {
  const char* key;
  std::size_t key_len;
  std::uint64_t arg;
  const std::uint8_t* content;
  std::uint8_t major;
  std::string_view key_text() const { return std::string_view(key, key_len); }
};

// The entries of a payload map whose head, at `depth`, declared `count`
// pairs: text keys in canonical order, each value decoded in place.
bool fast_payload_map(const std::uint8_t*& p, const std::uint8_t* end, unsigned depth, std::uint64_t count,
                      PayloadMap& out) {
  // Every key takes a byte at least, which bounds what a head can make us reserve.
  if (count > static_cast<std::uint64_t>(end - p) || (count != 0 && depth + 1 >= MAX_CBOR_DEPTH)) return false;
  std::vector<PayloadMap::Entry> entries;
  if (count <= kFlatEntries) {
    FlatEntry flat[kFlatEntries];
    const std::uint8_t* q = p;
    ByteView previous;
    std::size_t n = 0;
    for (; n < count; ++n) {
      std::string_view key;
      Head h;
      if (!map_key(q, end, previous, key) || !read_strict_head(q, end, h)) return false;
      if (h.major == 4 || h.major == 5) break;
      flat[n] = FlatEntry{key.data(), key.size(), h.arg, q, h.major};
      if (!skip_content(q, end, h)) return false;
    }
    if (n == count) {
      std::uint8_t order[kFlatEntries];  // insertion sort of positions: the keys are distinct
      for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = flat[i].key_text();
        std::size_t j = i;
        for (; j > 0 && PayloadMap::key_less(key, flat[order[j - 1]].key_text()); --j) order[j] = order[j - 1];
        order[j] = static_cast<std::uint8_t>(i);
      }
      entries.reserve(n);
      for (std::size_t i = 0; i < n; ++i) {
        const FlatEntry& e = flat[order[i]];
        auto& entry = entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(e.key, e.key_len),
                                           std::forward_as_tuple());
        build_scalar(Head{e.major, e.arg}, e.content, entry.second);
      }
      out = PayloadMap::from_unsorted(std::move(entries));  // in order already: nothing moves
      p = q;
      return true;
    }
  }
  // A map holding containers: built in input order, then sorted.
  entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxPrealloc)));
  ByteView previous;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string_view key;
    if (!map_key(p, end, previous, key)) return false;
    auto& entry = entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
    if (!fast_payload_value(p, end, depth + 1, entry.second)) return false;
  }
  // Canonical order puts shorter keys first; the map wants them bytewise.
  out = PayloadMap::from_unsorted(std::move(entries));
  return true;
}

bool fast_payload_value(const std::uint8_t*& p, const std::uint8_t* end, unsigned depth, PayloadValue& out) {
  Head h;
  if (depth >= MAX_CBOR_DEPTH || !read_strict_head(p, end, h)) return false;
  if (h.major == 4) {
    if (h.arg > static_cast<std::uint64_t>(end - p)) return false;
    auto& items = out.v.emplace<6>();
    items.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(h.arg, kMaxPrealloc)));
    for (std::uint64_t i = 0; i < h.arg; ++i) {
      if (!fast_payload_value(p, end, depth + 1, items.emplace_back())) return false;
    }
    return true;
  }
  if (h.major == 5) return fast_payload_map(p, end, depth, h.arg, out.v.emplace<5>());
  const std::uint8_t* content = p;
  if (!skip_content(p, end, h)) return false;
  build_scalar(h, content, out);
  return true;
}

// The record (keys 1 to 10 in order, each field of its own type, a payload
// of text-keyed maps) decoded in one pass straight into `r`, by the strict
// decoder's rules, without building the decoded item. It takes exactly the
// records the full decoder and the schema accept, and makes the same record
// of them (the record_decode fuzz target holds the two against each other);
// false leaves the bytes to the full decoder, which words the error.
bool fast_decode(ByteView record, StoredRecord& r) {
  const std::uint8_t* p = record.data();
  const std::uint8_t* const end = p + record.size();
  std::string_view ts_wall, actor, event;
  Head payload;
  std::uint64_t version = 0;
  const bool ok = key_byte(p, end, kRecordMapHead) &&                                             //
                  key_byte(p, end, 1) && uint_field(p, end, r.record_id) &&                       //
                  key_byte(p, end, 2) && bytes_field(p, end, r.prev_hash) &&                      //
                  key_byte(p, end, 3) && text_field(p, end, ts_wall) &&                           //
                  key_byte(p, end, 4) && uint_field(p, end, r.ts_mono_delta) &&                   //
                  key_byte(p, end, 5) && bytes_field(p, end, r.session_id) &&                     //
                  key_byte(p, end, 6) && text_field(p, end, actor) &&                             //
                  key_byte(p, end, 7) && text_field(p, end, event) &&                             //
                  key_byte(p, end, 8) && read_strict_head(p, end, payload) && payload.major == 5 &&  //
                  fast_payload_map(p, end, 1, payload.arg, r.payload) &&                          //
                  key_byte(p, end, 9) && bytes_field(p, end, r.key_id) &&                         //
                  key_byte(p, end, 10) && uint_field(p, end, version) && version <= 255 && p == end;
  if (!ok) return false;
  r.schema_version = static_cast<std::uint8_t>(version);
  r.ts_wall.assign(ts_wall);
  r.actor.assign(actor);
  r.event.assign(event);
  return true;
}

}  // namespace

bool decode_record_fast(ByteView record, StoredRecord& out) { return fast_decode(record, out); }

std::expected<void, ReaderError> decode_frame(const FrameView& frame, std::uint16_t segment, StoredRecord& out) {
  if (fast_decode(frame.record, out)) {
    out.segment_index = segment;
    out.byte_offset = frame.offset;
    std::copy_n(frame.mac, kMacLen, out.hmac.begin());
    out.raw.assign(frame.record.begin(), frame.record.end());
    return {};
  }
  Mac hmac;
  std::copy_n(frame.mac, kMacLen, hmac.begin());
  auto value = decode_canonical(frame.record);
  if (!value) return std::unexpected(ReaderError::record_decode(segment, frame.offset, value.error().to_string()));
  auto record = decode_stored_record(std::move(*value), segment, frame.offset, frame.record, hmac);
  if (!record) return std::unexpected(std::move(record.error()));
  out = std::move(*record);
  return {};
}

}  // namespace detail

}  // namespace corvane
