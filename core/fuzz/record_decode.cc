// Record decoding, four ways: the reader's strict schema (its one-pass
// decoding and the full decoder), the verifier's lenient fields (its
// one-pass fast path and its fallback), and recovery's narrow view, each held
// against what the decoded item says. A record the reader accepts
// re-encodes through the writer's encoder to the same bytes.
#include <charconv>
#include <tuple>

#include "corvane/record.h"
#include "corvane/verifier.h"
#include "reader/frame_io.h"
#include "support.h"
#include "writer/recovery_internal.h"

using namespace corvane;

namespace {

constexpr std::uint16_t kSegment = 3;
constexpr std::uint64_t kOffset = 1234;

auto tie(const detail::RecordFields& f) { return std::tie(f.record_id, f.prev_hash, f.ts_wall, f.session_id, f.key_id); }
auto tie(const RecoveryRecordView& v) { return std::tie(v.record_id, v.prev_hash, v.ts_wall, v.ts_mono_delta, v.event); }

// Recovery's view, from the decoded item; the first missing field names the error.
std::expected<RecoveryRecordView, std::string> recovery_view(const CborValue& value) {
  const CborMap* map = value.as_map();
  if (map == nullptr) return std::unexpected("record is not a CBOR map");
  if (std::ranges::any_of(*map, [](const auto& p) { return !p.first.as_uint(); })) return std::unexpected("non-uint map key");
  const auto at = [&](std::uint64_t k) { return fuzz::value_at(*map, k); };
  const CborValue *id = at(1), *prev = at(2), *ts = at(3), *mono = at(4), *event = at(7);
  if (prev && prev->as_bytes() && prev->as_bytes()->size() != kMacLen)
    return std::unexpected("prev_hash length: " + std::to_string(prev->as_bytes()->size()));
  if (!id || !id->as_uint()) return std::unexpected("missing record_id");
  if (!prev || !prev->as_bytes()) return std::unexpected("missing prev_hash");
  if (!ts || !ts->as_text()) return std::unexpected("missing ts_wall");
  if (!mono || !mono->as_uint()) return std::unexpected("missing ts_mono_delta");
  if (!event || !event->as_text()) return std::unexpected("missing event");
  return RecoveryRecordView{*id->as_uint(), fuzz::fixed<32>(prev), *ts->as_text(), *mono->as_uint(), *event->as_text()};
}

// ts_wall to milliseconds by the plain rule: fields at fixed positions, each
// a signed decimal (0 when it is not one), days from the civil date.
std::int64_t ts_ms_reference(std::string_view ts) {
  if (ts.size() != 24) return 0;
  const auto field = [&](std::size_t at, std::size_t len) -> std::int64_t {
    const std::string_view s = ts.substr(at, len);
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data() + s.starts_with('+'), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size() && !s.starts_with("+-") ? v : 0;
  };
  const std::int64_t m = field(5, 2), y = field(0, 4) - (m <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + field(8, 2) - 1;
  const std::int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return days * 86400000 + field(11, 2) * 3600000 + field(14, 2) * 60000 + field(17, 2) * 1000 + field(20, 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const Bytes bytes(input.begin(), input.end());
  // The verifier's time parse, fast path included, on the first 24 bytes.
  const std::string_view ts(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 24));
  FUZZ_CHECK_MSG(ts_wall_to_ms(ts) == ts_ms_reference(ts), std::string(ts));
  detail::RecordFields fast;
  const bool fast_path = detail::scan_record(input, fast);
  // The reader's frame decoding, and its one-pass decoding alone.
  const Mac stored_mac = fuzz::key()->mac(input);
  StoredRecord framed, one_pass;
  const auto framed_result = detail::decode_frame(FrameView{kOffset, input, stored_mac.data()}, kSegment, framed);
  const bool one_pass_taken = detail::decode_record_fast(input, one_pass);
  auto decoded = decode_canonical(input);
  if (!decoded) {
    FUZZ_CHECK_MSG(!fast_path && !one_pass_taken, decoded.error().to_string());
    FUZZ_CHECK(!framed_result && framed_result.error() == ReaderError::record_decode(kSegment, kOffset, decoded.error().to_string()));
    return 0;
  }

  // The verifier: its fast path, its fallback and the decoded item agree.
  const auto same = [](const auto& a, const auto& b) { return tie(a) == tie(b); };
  const auto lenient = detail::read_record_fields(input);
  fuzz::agree(lenient, fuzz::verifier_fields(*decoded), same);
  if (lenient) FUZZ_CHECK(ts_wall_to_ms(lenient->ts_wall) == ts_ms_reference(lenient->ts_wall));
  if (fast_path) FUZZ_CHECK(lenient && tie(fast) == tie(*lenient));
  // Recovery's view.
  fuzz::agree(detail::parse_recovery_view(input), recovery_view(*decoded), same);

  // The reader's strict schema, copying and moving alike; the frame decoding
  // gives the same record or the same error, and its one pass takes every
  // record the schema accepts and no other.
  auto strict = decode_stored_record(*decoded, kSegment, kOffset, input, stored_mac);
  auto moved = decode_stored_record(CborValue(*decoded), kSegment, kOffset, input, stored_mac);
  fuzz::agree(strict, moved, fuzz::same);
  FUZZ_CHECK(framed_result.has_value() == strict.has_value() && one_pass_taken == strict.has_value());
  FUZZ_CHECK(strict ? fuzz::same(framed, *strict) : framed_result.error() == strict.error());
  if (one_pass_taken) {
    std::tie(one_pass.segment_index, one_pass.byte_offset, one_pass.hmac, one_pass.raw) =
        std::tuple(kSegment, kOffset, stored_mac, bytes);
    FUZZ_CHECK(fuzz::same(one_pass, *strict));
  }
  const ReaderError* e = strict ? nullptr : &strict.error();
  FUZZ_CHECK(!e || (e->kind == ReaderError::Kind::kRecordDecode && e->segment == kSegment && e->offset == kOffset));
  if (e) return 0;
  const StoredRecord& r = *strict;
  // A record in the writer's shape takes the verifier's fast path.
  FUZZ_CHECK(fast_path && r.raw == bytes && r.hmac == stored_mac && r.segment_index == kSegment && r.byte_offset == kOffset);
  const AppendRecord again{r.ts_wall, r.actor, r.event, r.ts_mono_delta, r.payload, r.schema_version};
  FUZZ_CHECK(encode_record(again, r.session_id, r.key_id, r.prev_hash, r.record_id) == bytes &&
             encoded_record_len(again, r.record_id) == std::optional<std::uint64_t>(size));
  return 0;
}
