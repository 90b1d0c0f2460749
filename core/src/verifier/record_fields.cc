#include "verifier/record_fields.h"

#include <algorithm>
#include <cstring>

#include "format/record_shape.h"

namespace corvane::detail {

namespace {

template <std::size_t N>
void take_bytes(const std::uint8_t* p, const Head& h, std::array<std::uint8_t, N>& out) {
  if (h.major == kMajorBytes && h.arg == N) std::copy_n(p, N, out.begin());
}

// The payload field: a map with text keys in canonical order. Flat values
// (nearly every payload) are checked here; nested ones by the decoder's own
// validation, at the depth they sit at.
bool payload_map(const std::uint8_t*& p, ByteView record) {
  const std::uint8_t* const end = record.data() + record.size();
  Head map;
  if (!head_ok(p, end, map) || map.major != kMajorMap || map.arg > static_cast<std::uint64_t>(end - p)) return false;
  ByteView previous;
  for (std::uint64_t i = 0; i < map.arg; ++i) {
    std::string_view key;
    if (!text_key(p, end, previous, key)) return false;
    std::size_t pos = static_cast<std::size_t>(p - record.data());
    Head h;
    if (!head_ok(p, end, h)) return false;
    if (h.major == kMajorArray || h.major == kMajorMap) {
      if (!decode_item(record, pos, 2, nullptr)) return false;
      p = record.data() + pos;
    } else if (!scalar_content(p, end, h)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::expected<RecordFields, std::string> read_record_fields(ByteView record) {
  const std::uint8_t* p = record.data();
  const std::uint8_t* const end = p + record.size();
  Head map;
  // The input is canonical, so no head read below fails; the checks only
  // keep a fault elsewhere from turning into a read past the buffer.
  if (!head_ok(p, end, map) || map.major != kMajorMap) return std::unexpected("record payload is not a CBOR map");
  if (map.arg != kRecordFields) {
    return std::unexpected("record map has " + std::to_string(map.arg) + " entries (expected " +
                           std::to_string(kRecordFields) + ")");
  }

  RecordFields f;
  for (std::size_t i = 0; i < kRecordFields; ++i) {
    Head key;
    Head value;
    if (!head_ok(p, end, key)) return std::unexpected("record map truncated");
    if (key.major != kMajorUint) return std::unexpected("record map key not a uint");
    if (!head_ok(p, end, value)) return std::unexpected("record map truncated");
    const bool content_present = static_cast<std::uint64_t>(end - p) >= value.arg;
    // Only the fields the verifier checks; keys beyond the record's are ignored.
    switch (key.arg) {
      case static_cast<std::uint64_t>(RecordKey::kRecordId):
        if (value.major == kMajorUint) f.record_id = value.arg;
        break;
      case static_cast<std::uint64_t>(RecordKey::kPrevHash):
        if (content_present) take_bytes(p, value, f.prev_hash);
        break;
      case static_cast<std::uint64_t>(RecordKey::kTsWall):
        if (value.major == kMajorText && content_present) {
          f.ts_wall = std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(value.arg));
        }
        break;
      case static_cast<std::uint64_t>(RecordKey::kSessionId):
        if (content_present) take_bytes(p, value, f.session_id);
        break;
      case static_cast<std::uint64_t>(RecordKey::kKeyId):
        if (content_present) take_bytes(p, value, f.key_id);
        break;
      default: break;
    }
    if (!skip_rest(p, end, value)) return std::unexpected("record map truncated");
  }
  return f;
}

bool scan_record(ByteView record, RecordFields& out) {
  RecordShape shape;
  if (!read_record_shape(record, shape,
                         [&](const std::uint8_t*& p, const std::uint8_t*) { return payload_map(p, record); })) {
    return false;
  }
  out.record_id = shape.record_id;
  std::memcpy(out.prev_hash.data(), shape.prev_hash, sizeof(Mac));
  out.ts_wall = shape.ts_wall;
  std::memcpy(out.session_id.data(), shape.session_id, sizeof(SessionId));
  std::memcpy(out.key_id.data(), shape.key_id, sizeof(KeyId));
  return true;
}

}  // namespace corvane::detail
