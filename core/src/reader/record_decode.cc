#include <algorithm>
#include <type_traits>
#include <utility>

#include "corvane/reader.h"
#include "format/record_shape.h"
#include "reader/frame_io.h"

namespace corvane {

StoredRecord::StoredRecord() = default;

namespace {

// A field's contents, moved out of the decoded item when it is ours to take.
template <bool kMove, class T>
decltype(auto) take(T& x) {
  if constexpr (kMove) {
    return std::move(x);
  } else {
    return static_cast<const T&>(x);
  }
}

std::string field(RecordKey key) { return std::string("field `") + record_field_name(key) + "`"; }

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
  std::expected<void, ReaderError> fixed_bytes(const Value& value, RecordKey key,
                                               std::array<std::uint8_t, N>& out) const {
    const Bytes* bytes = value.as_bytes();
    if (bytes == nullptr) return fail(field(key) + " expected byte string, got " + debug_string(value));
    if (bytes->size() != N) {
      return fail(field(key) + " expected " + std::to_string(N) + "-byte bstr, got " + std::to_string(bytes->size()) +
                  " bytes");
    }
    std::copy(bytes->begin(), bytes->end(), out.begin());
    return {};
  }

  template <class Value>
  std::expected<std::uint64_t, ReaderError> u64(const Value& value, RecordKey key) const {
    if (const std::uint64_t* u = value.as_uint()) return *u;
    return fail(field(key) + " expected u64, got " + debug_string(value));
  }

  template <bool kMove, class Value>
  std::expected<void, ReaderError> text(Value& value, RecordKey key, std::string& out) const {
    if (value.kind() != CborKind::kText) return fail(field(key) + " expected text string, got " + debug_string(value));
    out = take<kMove>(std::get<std::string>(value.v));
    return {};
  }

  template <bool kMove, class Value>
  std::expected<void, ReaderError> set_field(Value& value, RecordKey key, StoredRecord& r) const {
    switch (key) {
      case RecordKey::kRecordId:
      case RecordKey::kTsMonoDelta: {
        auto u = u64(value, key);
        if (!u) return std::unexpected(u.error());
        (key == RecordKey::kRecordId ? r.record_id : r.ts_mono_delta) = *u;
        return {};
      }
      case RecordKey::kPrevHash: return fixed_bytes(value, key, r.prev_hash);
      case RecordKey::kTsWall: return text<kMove>(value, key, r.ts_wall);
      case RecordKey::kSessionId: return fixed_bytes(value, key, r.session_id);
      case RecordKey::kActor: return text<kMove>(value, key, r.actor);
      case RecordKey::kEvent: return text<kMove>(value, key, r.event);
      case RecordKey::kPayload: {
        if (value.kind() != CborKind::kMap) return fail("payload expected map, got " + debug_string(value));
        auto map = payload_map<kMove>(value, "payload map key not a text string");
        if (!map) return std::unexpected(map.error());
        r.payload = std::move(*map);
        return {};
      }
      case RecordKey::kKeyId: return fixed_bytes(value, key, r.key_id);
      case RecordKey::kSchemaVersion: {
        auto u = u64(value, key);
        if (!u) return std::unexpected(u.error());
        if (*u > 255) return fail("schema_version " + std::to_string(*u) + " exceeds u8::MAX");
        r.schema_version = static_cast<std::uint8_t>(*u);
        return {};
      }
    }
    return {};  // unreachable: the caller passes keys 1..kRecordFields only
  }

  template <bool kMove, class Value>
  std::expected<StoredRecord, ReaderError> record(Value& value, ByteView bytes, const Mac& hmac) const {
    auto* pairs = std::get_if<CborMap>(&value.v);
    if (pairs == nullptr) return fail("record payload is not a CBOR map");
    if (pairs->size() != kRecordFields) {
      return fail("record map has " + std::to_string(pairs->size()) + " entries (expected " +
                  std::to_string(kRecordFields) + ")");
    }
    StoredRecord r;
    unsigned seen = 0;
    for (auto& [k, v] : *pairs) {
      const std::uint64_t* key = k.as_uint();
      if (key == nullptr) return fail("record map key not an unsigned integer");
      if (*key < 1 || *key > kRecordFields) {
        return fail("unknown record-map key " + std::to_string(*key) +
                    " (v0.1 reserves 1..=" + std::to_string(kRecordFields) + ")");
      }
      const auto ok = set_field<kMove>(v, static_cast<RecordKey>(*key), r);
      if (!ok) return std::unexpected(ok.error());
      seen |= 1u << *key;
    }
    // Only a value built by hand can get here with a key missing: the
    // canonical decoder refuses repeated keys.
    for (unsigned key = 1; key <= kRecordFields; ++key) {
      if ((seen & (1u << key)) == 0) {
        return fail(std::string("required field `") + record_field_name(static_cast<RecordKey>(key)) + "` missing");
      }
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
    case kMajorUint: out.v.emplace<0>(h.arg); break;
    case kMajorNint: out.v.emplace<1>(-1 - static_cast<std::int64_t>(h.arg)); break;
    case kMajorBytes: out.v.emplace<3>(content, content + len); break;
    case kMajorText: out.v.emplace<2>(reinterpret_cast<const char*>(content), len); break;
    default: out.v.emplace<4>(h.arg == kSimpleTrue); break;  // read_head lets only the booleans through
  }
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
  CborMajor major;
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
      if (!text_key(q, end, previous, key) || !head_ok(q, end, h)) return false;
      if (h.major == kMajorArray || h.major == kMajorMap) break;
      flat[n] = FlatEntry{key.data(), key.size(), h.arg, q, h.major};
      if (!scalar_content(q, end, h)) return false;
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
    if (!text_key(p, end, previous, key)) return false;
    auto& entry = entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
    if (!fast_payload_value(p, end, depth + 1, entry.second)) return false;
  }
  // Canonical order puts shorter keys first; the map wants them bytewise.
  out = PayloadMap::from_unsorted(std::move(entries));
  return true;
}

bool fast_payload_value(const std::uint8_t*& p, const std::uint8_t* end, unsigned depth, PayloadValue& out) {
  Head h;
  if (depth >= MAX_CBOR_DEPTH || !head_ok(p, end, h)) return false;
  if (h.major == kMajorArray) {
    if (h.arg > static_cast<std::uint64_t>(end - p)) return false;
    auto& items = out.v.emplace<6>();
    items.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(h.arg, kMaxPrealloc)));
    for (std::uint64_t i = 0; i < h.arg; ++i) {
      if (!fast_payload_value(p, end, depth + 1, items.emplace_back())) return false;
    }
    return true;
  }
  if (h.major == kMajorMap) return fast_payload_map(p, end, depth, h.arg, out.v.emplace<5>());
  const std::uint8_t* content = p;
  if (!scalar_content(p, end, h)) return false;
  build_scalar(h, content, out);
  return true;
}

// The record in the writer's shape, with a payload of text-keyed maps,
// decoded in one pass straight into `r` without building the decoded item.
// It takes exactly the records the full decoder and the schema accept, and
// makes the same record of them (the record_decode fuzz target holds the two
// against each other); false leaves the bytes to the full decoder, which
// words the error.
bool fast_decode(ByteView record, StoredRecord& r) {
  RecordShape shape;
  const bool ok = read_record_shape(record, shape, [&](const std::uint8_t*& p, const std::uint8_t* end) {
    Head payload;
    return head_ok(p, end, payload) && payload.major == kMajorMap &&
           fast_payload_map(p, end, 1, payload.arg, r.payload);
  });
  if (!ok || shape.schema_version > 255) return false;
  r.record_id = shape.record_id;
  std::copy_n(shape.prev_hash, r.prev_hash.size(), r.prev_hash.begin());
  r.ts_wall.assign(shape.ts_wall);
  r.ts_mono_delta = shape.ts_mono_delta;
  std::copy_n(shape.session_id, r.session_id.size(), r.session_id.begin());
  r.actor.assign(shape.actor);
  r.event.assign(shape.event);
  std::copy_n(shape.key_id, r.key_id.size(), r.key_id.begin());
  r.schema_version = static_cast<std::uint8_t>(shape.schema_version);
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
