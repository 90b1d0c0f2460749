// The verifier over one or two segments held in memory, against a plain
// walk of the same bytes with the full decoder, in both modes: the same
// verdict, the same violations at the same places, the same counts and final
// head. It never fails to return a report, and recovery on the last segment
// of a log that verifies refuses nothing and cuts nothing.
#include <algorithm>

#include "corvane/cbor.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support.h"
#include "targets.h"

using namespace corvane;

namespace {

struct Seen {
  ViolationKind kind;
  ViolationLocation location;
  bool header_level = false;   // the location's offset is not compared
  std::string decode_message;  // kRecordCorrupt from the decoder or the field reader
};

struct Expected {
  std::vector<Seen> violations;
  std::uint64_t records = 0;
  std::uint32_t segments = 0;
  std::optional<Mac> final_head;
  std::uint64_t last_segment_frames = 0;
};

class Oracle {
 public:
  Expected run(const std::map<std::uint16_t, Bytes>& log, bool forensic) {
    for (const auto& [index, seg] : log) {
      ++out_.segments;
      segment(index, seg);
      if (!forensic && !out_.violations.empty()) return out_;
    }
    out_.final_head = previous_final_;
    return out_;
  }

 private:
  void header(std::uint16_t index, ViolationKind kind) {
    out_.violations.push_back(Seen{kind, ViolationLocation{index, std::nullopt, 0}, true, {}});
  }
  void record(ViolationKind kind, std::uint16_t index, std::optional<std::uint64_t> id, std::uint64_t offset,
              std::string message = {}) {
    out_.violations.push_back(Seen{kind, ViolationLocation{index, id, offset}, false, std::move(message)});
  }

  // Walks one segment; stops at its first violation, and then it does not
  // become the previous final.
  void segment(std::uint16_t index, ByteView seg) {
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

// The report against the walk of the same mode.
void check_report(const VerifyReport& report, const Expected& want, const std::map<std::uint16_t, Bytes>& log) {
  const std::string shown = debug_string(report);
  const LogSummary& summary = report.log;
  FUZZ_CHECK_MSG(summary.segments_inspected == want.segments && summary.records_inspected == want.records, shown);
  FUZZ_CHECK(summary.first_segment_index == std::optional<std::uint16_t>(log.begin()->first));
  FUZZ_CHECK(summary.last_segment_index ==
             std::optional<std::uint16_t>(std::next(log.begin(), want.segments - 1)->first));
  const std::optional<std::string> final_hex =
      want.final_head ? std::optional<std::string>(to_hex(*want.final_head)) : std::nullopt;
  FUZZ_CHECK_MSG(summary.final_hmac_hex == final_hex, shown);

  std::vector<Violation> got;
  if (report.violation) got.push_back(*report.violation);
  got.insert(got.end(), report.additional_violations.begin(), report.additional_violations.end());
  FUZZ_CHECK_MSG(got.size() == want.violations.size(), shown);
  FUZZ_CHECK(report.verdict == (got.empty() ? Verdict::kVerified : Verdict::kViolation));
  for (std::size_t i = 0; i < got.size(); ++i) {
    const Seen& w = want.violations[i];
    FUZZ_CHECK_MSG(got[i].kind == w.kind, shown);
    if (w.header_level) {
      FUZZ_CHECK_MSG(got[i].location.segment_index == w.location.segment_index, shown);
    } else {
      FUZZ_CHECK_MSG(got[i].location == w.location, shown);
    }
    FUZZ_CHECK_MSG(decode_message_of(got[i]) == w.decode_message, shown);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.byte();
  const std::map<std::uint16_t, Bytes> log = fuzz::log_from_input(in, flags, kLargeSegments);

  fuzz::MemFs fs;
  fs.add_dir(fuzz::kLogDir);
  for (const auto& [index, seg] : log) fs.put(fuzz::log_path(index), seg);
  // Both modes, in the order bit 0 picks: nothing may carry over between calls.
  VerifyOptions forensic;
  forensic.forensic = true;
  std::optional<std::expected<VerifyReport, VerifyError>> full;
  if ((flags & 1) != 0) full = verify(fuzz::kLogDir, fuzz::fuzz_key(), forensic);
  const auto report = verify(fuzz::kLogDir, fuzz::fuzz_key());
  if (!full) full = verify(fuzz::kLogDir, fuzz::fuzz_key(), forensic);
  FUZZ_CHECK_MSG(report.has_value(), report ? std::string() : report.error().to_string());
  FUZZ_CHECK_MSG(full->has_value(), *full ? std::string() : (*full).error().to_string());
  FUZZ_CHECK(fs.open_count() == 0);

  const Expected want = Oracle().run(log, false);
  check_report(*report, want, log);
  check_report(**full, Oracle().run(log, true), log);

  // Recovery on the last segment of a log that verifies: nothing to refuse,
  // nothing to cut.
  if (want.violations.empty()) {
    const auto scan = scan_segment_for_recovery(fuzz::kLogDir, log.rbegin()->first, fuzz::fuzz_key());
    if (scan) {
      FUZZ_CHECK(scan->truncated_bytes == 0 && scan->records == want.last_segment_frames);
    } else {
      FUZZ_CHECK_MSG(scan.error().kind == WriterError::Kind::kMessage, scan.error().to_string());
    }
  }
  return 0;
}
