// Record decoding, four ways: the reader's strict schema, the verifier's
// lenient fields (its one-pass fast path and its fallback), and recovery's
// narrow view. Each is compared with what the decoded item says; a record
// the reader accepts re-encodes through the writer's encoder to the same
// bytes.
#include <algorithm>

#include "corvane/cbor.h"
#include "corvane/reader.h"
#include "corvane/record.h"
#include "corvane/verifier.h"
#include "support.h"
#include "targets.h"
#include "verifier/record_fields.h"
#include "writer/recovery_internal.h"

using namespace corvane;

namespace {

constexpr std::uint16_t kSegment = 3;
constexpr std::uint64_t kOffset = 1234;

bool same(const detail::RecordFields& a, const detail::RecordFields& b) {
  return a.record_id == b.record_id && a.prev_hash == b.prev_hash && a.ts_wall == b.ts_wall &&
         a.session_id == b.session_id && a.key_id == b.key_id;
}

// Recovery's view of a record, from the decoded item.
std::expected<RecoveryRecordView, std::string> recovery_view(const CborValue& value) {
  const CborMap* map = value.as_map();
  if (map == nullptr) return std::unexpected("record is not a CBOR map");
  for (const auto& pair : *map) {
    if (pair.first.as_uint() == nullptr) return std::unexpected("non-uint map key");
  }
  const CborValue* id = fuzz::value_at(*map, 1);
  const CborValue* prev = fuzz::value_at(*map, 2);
  const CborValue* ts = fuzz::value_at(*map, 3);
  const CborValue* mono = fuzz::value_at(*map, 4);
  const CborValue* event = fuzz::value_at(*map, 7);
  if (prev != nullptr && prev->as_bytes() != nullptr && prev->as_bytes()->size() != kMacLen) {
    return std::unexpected("prev_hash length: " + std::to_string(prev->as_bytes()->size()));
  }
  if (id == nullptr || id->as_uint() == nullptr) return std::unexpected("missing record_id");
  if (prev == nullptr || prev->as_bytes() == nullptr) return std::unexpected("missing prev_hash");
  if (ts == nullptr || ts->as_text() == nullptr) return std::unexpected("missing ts_wall");
  if (mono == nullptr || mono->as_uint() == nullptr) return std::unexpected("missing ts_mono_delta");
  if (event == nullptr || event->as_text() == nullptr) return std::unexpected("missing event");
  return RecoveryRecordView{*id->as_uint(), fuzz::fixed_or_zero<32>(prev), *ts->as_text(), *mono->as_uint(),
                            *event->as_text()};
}

// ts_wall to milliseconds by the plain rule: fields at fixed positions, each
// a signed decimal (0 when it is not one), days from the civil date.
std::int64_t ts_ms_reference(std::string_view ts) {
  if (ts.size() != 24) return 0;
  const auto field = [&](std::size_t at, std::size_t len) -> std::int64_t {
    std::string_view s = ts.substr(at, len);
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
    if (s.empty()) return 0;
    std::int64_t v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return 0;
      v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
  };
  std::int64_t y = field(0, 4);
  const std::int64_t m = field(5, 2);
  const std::int64_t d = field(8, 2);
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return days * 86400000 + field(11, 2) * 3600000 + field(14, 2) * 60000 + field(17, 2) * 1000 + field(20, 3);
}

bool same(const StoredRecord& a, const StoredRecord& b) {
  return a.segment_index == b.segment_index && a.byte_offset == b.byte_offset && a.record_id == b.record_id &&
         a.prev_hash == b.prev_hash && a.ts_wall == b.ts_wall && a.ts_mono_delta == b.ts_mono_delta &&
         a.session_id == b.session_id && a.actor == b.actor && a.event == b.event && a.payload == b.payload &&
         a.key_id == b.key_id && a.schema_version == b.schema_version && a.hmac == b.hmac && a.raw == b.raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const Bytes bytes(input.begin(), input.end());
  // The verifier's time parse, fast path included, on the first 24 bytes.
  const std::string_view ts(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 24));
  FUZZ_CHECK_MSG(ts_wall_to_ms(ts) == ts_ms_reference(ts), std::string(ts));
  Mac stored_mac;
  stored_mac.fill(0x5A);
  detail::RecordFields fast;
  const bool fast_path = detail::scan_record(input, fast);

  auto decoded = decode_canonical(input);
  if (!decoded) {
    FUZZ_CHECK_MSG(!fast_path, decoded.error().to_string());
    return 0;
  }

  // The verifier: its fast path, its fallback and the decoded item agree.
  const auto lenient = detail::read_record_fields(input);
  const auto expected_fields = fuzz::verifier_fields(*decoded);
  FUZZ_CHECK(lenient.has_value() == expected_fields.has_value());
  if (lenient) {
    FUZZ_CHECK(same(*lenient, *expected_fields));
  } else {
    FUZZ_CHECK_MSG(lenient.error() == expected_fields.error(), lenient.error() + " | " + expected_fields.error());
  }
  if (fast_path) FUZZ_CHECK(lenient && same(fast, *lenient));
  if (lenient) FUZZ_CHECK(ts_wall_to_ms(lenient->ts_wall) == ts_ms_reference(lenient->ts_wall));

  // Recovery's view.
  const auto view = detail::parse_recovery_view(input);
  const auto expected_view = recovery_view(*decoded);
  FUZZ_CHECK(view.has_value() == expected_view.has_value());
  if (view) {
    FUZZ_CHECK(view->record_id == expected_view->record_id && view->prev_hash == expected_view->prev_hash &&
               view->ts_wall == expected_view->ts_wall && view->ts_mono_delta == expected_view->ts_mono_delta &&
               view->event == expected_view->event);
  } else {
    FUZZ_CHECK_MSG(view.error() == expected_view.error(), view.error() + " | " + expected_view.error());
  }

  // The reader's strict schema, copying and moving alike.
  auto strict = decode_stored_record(*decoded, kSegment, kOffset, input, stored_mac);
  auto moved = decode_stored_record(CborValue(*decoded), kSegment, kOffset, input, stored_mac);
  FUZZ_CHECK(strict.has_value() == moved.has_value());
  if (!strict) {
    FUZZ_CHECK(strict.error() == moved.error());
    FUZZ_CHECK(strict.error().kind == ReaderError::Kind::kRecordDecode && strict.error().segment == kSegment &&
               strict.error().offset == kOffset);
    return 0;
  }
  const StoredRecord& r = *strict;
  FUZZ_CHECK(same(r, *moved));
  FUZZ_CHECK(r.raw == bytes && r.hmac == stored_mac && r.segment_index == kSegment && r.byte_offset == kOffset);
  // A record in the writer's shape takes the verifier's fast path.
  FUZZ_CHECK(fast_path);

  AppendRecord again;
  again.ts_wall = r.ts_wall;
  again.actor = r.actor;
  again.event = r.event;
  again.ts_mono_delta = r.ts_mono_delta;
  again.payload = r.payload;
  again.schema_version = r.schema_version;
  FUZZ_CHECK(encode_record(again, r.session_id, r.key_id, r.prev_hash, r.record_id) == bytes);
  FUZZ_CHECK(encoded_record_len(again, r.record_id) == std::optional<std::uint64_t>(size));
  FUZZ_CHECK(record_id_of(input) == std::optional<std::uint64_t>(r.record_id));
  return 0;
}
