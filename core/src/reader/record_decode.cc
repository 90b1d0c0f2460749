#include <algorithm>
#include <type_traits>
#include <utility>

#include "corvane/reader.h"
#include "reader/frame_io.h"

namespace corvane {

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

std::expected<StoredRecord, ReaderError> decode_frame(const FrameView& frame, std::uint16_t segment) {
  auto value = decode_canonical(frame.record);
  if (!value) return std::unexpected(ReaderError::record_decode(segment, frame.offset, value.error().to_string()));
  Mac hmac;
  std::copy_n(frame.mac, kMacLen, hmac.begin());
  return decode_stored_record(std::move(*value), segment, frame.offset, frame.record, hmac);
}

}  // namespace detail

std::expected<StoredRecord, ReaderError> read_record_at(const File& file, std::uint16_t segment,
                                                        std::uint64_t offset, std::uint64_t file_len) {
  if (offset > file_len || file_len - offset < kFrameLenField) {
    return std::unexpected(ReaderError::torn_tail(segment, offset));
  }
  std::uint8_t len_bytes[kFrameLenField];
  auto head = read_exact_at(file, offset, len_bytes);
  if (!head) return std::unexpected(ReaderError::from_io(head.error()));
  const std::uint32_t len = load_u32le(len_bytes);
  if (len > MAX_RECORD_LEN || file_len - offset < std::uint64_t{len} + kFrameOverhead) {
    return std::unexpected(ReaderError::torn_tail(segment, offset));
  }
  Bytes rest(std::size_t{len} + kMacLen + kFrameLenField);
  auto body = read_exact_at(file, offset + kFrameLenField, rest);
  if (!body) return std::unexpected(ReaderError::from_io(body.error()));
  if (load_u32le(rest.data() + len + kMacLen) != len) {
    return std::unexpected(ReaderError::torn_tail(segment, offset));
  }
  return detail::decode_frame(FrameView{offset, ByteView(rest.data(), len), rest.data() + len}, segment);
}

}  // namespace corvane
