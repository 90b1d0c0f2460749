// The verifier over one or two segments, against a plain walk of the same
// bytes with the full decoder, in both modes: the same verdict, the same
// violations at the same places, the same counts and final head; walked on
// two threads, the same report. It never fails to return a report.
#include "corvane/verifier.h"
#include "corvane/verify_span.h"
#include "format/segment_file.h"
#include "support.h"

using namespace corvane;

namespace {

using K = ViolationKind;

// A violation as compared: kind, place (no offset for a header's), and the
// message of a kRecordCorrupt from the decoder or the field reader.
std::string describe(K kind, const ViolationLocation& at, const std::string& decode_message = {}) {
  return std::string(violation_kind_name(kind)) + " " + std::to_string(at.segment_index) + " " +
         (at.record_id ? std::to_string(*at.record_id) : "-") + " " +
         (!at.record_id && kind != K::kRecordCorrupt ? "-" : std::to_string(at.byte_offset)) + " " + decode_message;
}

struct Expected {
  std::vector<std::string> violations;
  std::uint64_t records = 0, segments = 0;
  std::optional<Mac> final_head;
};

// Each segment stops at its first violation, and then does not become the previous final.
Expected walk(const fuzz::Log& log, bool forensic) {
  Expected out;
  std::optional<Mac> prev_final;
  std::optional<std::int64_t> prev_time;
  for (const auto& [index, bytes] : log) {
    ++out.segments;
    const ByteView seg = bytes;
    const auto fault = [&]() -> std::optional<std::string> {
      const fuzz::Header h = fuzz::header(seg, index);
      const bool continues = !prev_final || !h.whole || std::ranges::equal(*prev_final, seg.subspan(kHeaderPrevFinalOffset, kMacLen));
      const std::optional<K> bad = !h.magic ? K::kHeaderCorrupt : !h.version_ok() ? K::kUnknownVersion
                                   : !h.crc_ok() ? K::kHeaderCorrupt : !h.key_ok ? K::kKeyIdMismatch
                                   : !h.reserved_ok ? K::kHeaderCorrupt : !continues ? K::kSegmentDiscontinuity
                                   : std::optional<K>();
      if (bad) return describe(*bad, {index, std::nullopt, 0});
      Mac head = fuzz::chain_start(seg, index);
      std::uint64_t expected_id = 0;
      for (std::uint64_t o = kHeaderLen; o < seg.size();) {
        const auto at = [&](K k, std::optional<std::uint64_t> id, const std::string& m = {}) { return describe(k, {index, id, o}, m); };
        const auto f = fuzz::frame_at(seg, o);
        if (!f) return at(K::kRecordCorrupt, std::nullopt);
        ++out.records;
        if (!f->verifies()) return at(K::kHmacMismatch, expected_id);
        auto value = decode_canonical(f->record);
        if (!value) return at(K::kRecordCorrupt, expected_id, value.error().to_string());
        auto r = fuzz::verifier_fields(*value);
        if (!r) return at(K::kRecordCorrupt, expected_id, r.error());
        if (r->prev_hash != head) return at(K::kChainBreak, r->record_id);
        if (r->key_id != fuzz::key()->key_id()) return at(K::kKeyIdMismatch, r->record_id);
        const std::int64_t time = ts_wall_to_ms(r->ts_wall);
        if (prev_time && time - *prev_time < -60000) return at(K::kTimestampRegression, r->record_id);
        prev_time = time;
        expected_id = r->record_id + 1;
        head = f->mac;
        o = f->end();
      }
      prev_final = head;
      return std::nullopt;
    }();
    if (fault) out.violations.push_back(*fault);
    if (fault && !forensic) return out;
  }
  out.final_head = prev_final;
  return out;
}

void check_report(const VerifyReport& report, const Expected& want, const fuzz::Log& log) {
  const std::string shown = debug_string(report);
  const LogSummary& summary = report.log;
  FUZZ_CHECK_MSG(summary.segments_inspected == want.segments && summary.records_inspected == want.records &&
                     summary.final_hmac_hex == (want.final_head ? std::optional(to_hex(*want.final_head)) : std::nullopt), shown);
  FUZZ_CHECK(summary.first_segment_index == std::optional(log.begin()->first) &&
             summary.last_segment_index == std::optional(std::next(log.begin(), want.segments - 1)->first));
  std::vector<Violation> all(report.violation ? 1 : 0, report.violation.value_or(Violation{}));
  all.insert(all.end(), report.additional_violations.begin(), report.additional_violations.end());
  std::vector<std::string> got;
  for (const Violation& v : all) {
    const auto* corrupt = std::get_if<evidence::RecordCorrupt>(&v.evidence);
    const auto* decode = corrupt ? std::get_if<evidence::DecodeError>(&corrupt->subkind) : nullptr;
    got.push_back(describe(v.kind, v.location, decode ? decode->message : std::string()));
  }
  FUZZ_CHECK_MSG(got == want.violations && report.verdict == (got.empty() ? Verdict::kVerified : Verdict::kViolation), shown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [flags, log, dir, fds] = fuzz::log_case(data, size);
  // Both modes, in the order bit 0 picks: nothing may carry over between calls.
  VerifyReport reports[2];
  for (const bool forensic : {(flags & 1) != 0, (flags & 1) == 0}) reports[forensic] = fuzz::ok(verify(dir, fuzz::key(), {{}, forensic}));
  FUZZ_CHECK(fuzz::open_fds() == fds);
  Expected want;
  for (const bool forensic : {false, true}) {
    check_report(reports[forensic], want = walk(log, forensic), log);
    // Segments walked apart and joined give the very same reports.
    SpanOptions apart;
    apart.verify.forensic = forensic;
    apart.jobs = 2;
    const SpanReport joined = fuzz::ok(verify_span(dir, fuzz::key(), apart));
    FUZZ_CHECK_MSG(joined.report == reports[forensic], debug_string(joined.report));
  }
  return 0;
}
