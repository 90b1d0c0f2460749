// The verifier over one or two segments held in memory, against a plain
// walk of the same bytes with the full decoder: the same verdict, the same
// first violation at the same place, the same counts and final head. It never
// fails to return a report, forensic mode meets the same first violation,
// and recovery on the last segment of a log that verifies refuses nothing
// and cuts nothing.
#include <algorithm>

#include "corvane/cbor.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support.h"
#include "targets.h"

using namespace corvane;

namespace {

struct Expected {
  std::optional<ViolationKind> kind;  // none: verified
  ViolationLocation location;
  bool header_level = false;          // location offset not compared
  std::string decode_message;         // kRecordCorrupt from the decoder or the field reader
  std::uint64_t records = 0;
  std::uint32_t segments = 0;
  std::optional<Mac> final_head;
  std::uint64_t last_segment_frames = 0;
};

class Oracle {
 public:
  Expected run(const std::map<std::uint16_t, Bytes>& log) {
    for (const auto& [index, seg] : log) {
      ++out_.segments;
      if (!segment(index, seg)) return out_;
    }
    out_.final_head = previous_final_;
    return out_;
  }

 private:
  bool header(std::uint16_t index, ViolationKind kind) {
    out_.kind = kind;
    out_.location = ViolationLocation{index, std::nullopt, 0};
    out_.header_level = true;
    return false;
  }
  bool record(ViolationKind kind, std::uint16_t index, std::optional<std::uint64_t> id, std::uint64_t offset,
              std::string message = {}) {
    out_.kind = kind;
    out_.location = ViolationLocation{index, id, offset};
    out_.decode_message = std::move(message);
    return false;
  }

  bool segment(std::uint16_t index, ByteView seg) {
    out_.last_segment_frames = 0;
    const KeyId& key_id = fuzz::fuzz_key()->key_id();
    if (seg.size() < kHeaderLen || !std::equal(kMagic.begin(), kMagic.end(), seg.begin())) {
      return header(index, ViolationKind::kHeaderCorrupt);
    }
    if (load_u16le(seg.data() + kHeaderVersionOffset) != kFormatVersion) {
      return header(index, ViolationKind::kUnknownVersion);
    }
    if (load_u32le(seg.data() + kHeaderCrcOffset) != crc32(seg.first(kHeaderSignedLen))) {
      return header(index, ViolationKind::kHeaderCorrupt);
    }
    if (!std::equal(key_id.begin(), key_id.end(), seg.begin() + kHeaderKeyIdOffset)) {
      return header(index, ViolationKind::kKeyIdMismatch);
    }
    if (load_u32le(seg.data() + kHeaderReservedOffset) != 0) return header(index, ViolationKind::kHeaderCorrupt);
    if (previous_final_ && !std::equal(previous_final_->begin(), previous_final_->end(),
                                       seg.begin() + kHeaderPrevFinalOffset)) {
      return header(index, ViolationKind::kSegmentDiscontinuity);
    }
    Mac head = fuzz::chain_start(seg, index);
    std::uint64_t expected_id = 0;
    std::uint64_t o = kHeaderLen;
    while (o < seg.size()) {
      const auto f = fuzz::frame_at(seg, o);
      if (!f) return record(ViolationKind::kRecordCorrupt, index, std::nullopt, o);
      ++out_.records;
      ++out_.last_segment_frames;
      if (!ct_equal(fuzz::fuzz_key()->mac(f->record), f->mac)) {
        return record(ViolationKind::kHmacMismatch, index, expected_id, o);
      }
      auto value = decode_canonical(f->record);
      if (!value) return record(ViolationKind::kRecordCorrupt, index, expected_id, o, value.error().to_string());
      auto r = fuzz::verifier_fields(*value);
      if (!r) return record(ViolationKind::kRecordCorrupt, index, expected_id, o, r.error());
      if (r->prev_hash != head) return record(ViolationKind::kChainBreak, index, r->record_id, o);
      if (r->key_id != key_id) return record(ViolationKind::kKeyIdMismatch, index, r->record_id, o);
      const std::int64_t time = ts_wall_to_ms(r->ts_wall);
      if (previous_time_ && time - *previous_time_ < -60000) {
        return record(ViolationKind::kTimestampRegression, index, r->record_id, o);
      }
      previous_time_ = time;
      expected_id = r->record_id + 1;
      head = f->mac;
      o = f->end();
    }
    previous_final_ = head;
    return true;
  }

  Expected out_;
  std::optional<Mac> previous_final_;
  std::optional<std::int64_t> previous_time_;
};

std::string decode_message_of(const Violation& v) {
  const auto* corrupt = std::get_if<evidence::RecordCorrupt>(&v.evidence);
  if (corrupt == nullptr) return {};
  const auto* decode = std::get_if<evidence::DecodeError>(&corrupt->subkind);
  return decode == nullptr ? std::string() : decode->message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.byte();
  const bool forensic_first = (flags & 1) != 0;
  const auto first_index = static_cast<std::uint16_t>((flags >> 1) & 1);
  const auto second_index = static_cast<std::uint16_t>(first_index + 1 + ((flags >> 2) & 1));
  const auto reseal = static_cast<std::uint8_t>(flags >> 4);
  const std::uint8_t size_byte = in.byte();
  const std::uint8_t cut_byte = in.byte();
  Bytes first = in.take(in.u16());
  Bytes second = in.rest();
  fuzz::grow(second.empty() ? first : second, size_byte, cut_byte);

  std::map<std::uint16_t, Bytes> log;
  const Mac head = fuzz::reseal(first, first_index, reseal);
  log[first_index] = first;
  if (!second.empty()) {
    if ((flags & 8) != 0 && second.size() >= kHeaderLen) {
      std::copy(head.begin(), head.end(), second.begin() + kHeaderPrevFinalOffset);
    }
    fuzz::reseal(second, second_index, reseal);
    log[second_index] = second;
  }

  fuzz::MemFs fs;
  fs.add_dir(fuzz::kLogDir);
  for (const auto& [index, seg] : log) fs.put(fuzz::log_path(index), seg);
  // Both modes, in either order: nothing carries over from one call to the next.
  VerifyOptions forensic;
  forensic.forensic = true;
  std::optional<std::expected<VerifyReport, VerifyError>> full;
  if (forensic_first) full = verify(fuzz::kLogDir, fuzz::fuzz_key(), forensic);
  const auto report = verify(fuzz::kLogDir, fuzz::fuzz_key());
  if (!full) full = verify(fuzz::kLogDir, fuzz::fuzz_key(), forensic);
  FUZZ_CHECK_MSG(report.has_value(), report ? std::string() : report.error().to_string());
  FUZZ_CHECK(full->has_value());
  FUZZ_CHECK(fs.open_count() == 0);

  const Expected want = Oracle().run(log);
  const LogSummary& summary = report->log;
  FUZZ_CHECK_MSG(summary.segments_inspected == want.segments && summary.records_inspected == want.records,
                 debug_string(*report));
  FUZZ_CHECK(summary.first_segment_index == std::optional<std::uint16_t>(first_index));
  FUZZ_CHECK(summary.last_segment_index == std::optional<std::uint16_t>(std::next(log.begin(), want.segments - 1)->first));
  if (!want.kind) {
    FUZZ_CHECK_MSG(report->verdict == Verdict::kVerified && !report->violation, debug_string(*report));
    FUZZ_CHECK(summary.final_hmac_hex == std::optional<std::string>(to_hex(*want.final_head)));
    FUZZ_CHECK(**full == *report);
  } else {
    FUZZ_CHECK_MSG(report->verdict == Verdict::kViolation && report->violation, debug_string(*report));
    const Violation& v = *report->violation;
    FUZZ_CHECK_MSG(v.kind == *want.kind, debug_string(*report));
    if (want.header_level) {
      FUZZ_CHECK_MSG(v.location.segment_index == want.location.segment_index, debug_string(*report));
    } else {
      FUZZ_CHECK_MSG(v.location == want.location, debug_string(*report));
    }
    FUZZ_CHECK_MSG(decode_message_of(v) == want.decode_message, debug_string(*report));
    FUZZ_CHECK(report->additional_violations.empty() && !summary.final_hmac_hex);
    FUZZ_CHECK((*full)->violation && *(*full)->violation == v);
  }

  // Recovery on the last segment of a log that verifies: nothing to refuse,
  // nothing to cut.
  if (!want.kind) {
    const std::uint16_t last = log.rbegin()->first;
    const auto scan = scan_segment_for_recovery(fuzz::kLogDir, last, fuzz::fuzz_key());
    if (scan) {
      FUZZ_CHECK(scan->truncated_bytes == 0 && scan->records == want.last_segment_frames);
    } else {
      FUZZ_CHECK_MSG(scan.error().kind == WriterError::Kind::kMessage, scan.error().to_string());
    }
  }
  return 0;
}
