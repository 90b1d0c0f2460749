// The recovery scan of the last segment of a log, against a plain walk of
// the same bytes: it cuts only a torn tail (never a frame whose MAC verifies,
// nor anything in front of an intact frame), refuses exactly where the walk
// meets tampering, and changes nothing when it refuses. A writer opened on
// what it left then appends records that chain on from the scan's head.
#include <filesystem>
#include <tuple>

#include "corvane/segment.h"

#include "format/segment_file.h"
#include "support.h"
#include "writer/recovery_internal.h"

using namespace corvane;

namespace {

using RKind = RecoveryError::Kind;

struct Outcome {
  std::optional<RecoveryScan> scan;
  std::optional<RKind> refused;  // neither: a verified record the scan cannot read
  std::uint64_t offset = 0, record = 0;  // refusals at a frame; record: kHmacMismatch, kChainBreak
};

Outcome expected_outcome(ByteView seg, std::uint16_t index) {
  const fuzz::Header h = fuzz::header(seg, index);
  if (!h.magic || !h.version_ok() || !h.crc_ok()) return {{}, RKind::kHeaderCorrupt, 0, 0};
  if (!h.key_ok) return {{}, RKind::kKeyIdMismatch, 0, 0};
  RecoveryScan scan;
  scan.chain_head = fuzz::chain_start(seg, index);
  std::uint64_t o = kHeaderLen;
  for (std::optional<fuzz::Frame> f; o < seg.size(); o = f->end()) {
    f = fuzz::frame_at(seg, o);
    if (!f || !f->verifies()) {
      if (std::ranges::all_of(seg.subspan(o), [](std::uint8_t b) { return b == 0; })) break;
      if (f) return {{}, RKind::kHmacMismatch, o, record_id_of(f->record).value_or(scan.last_record_id ? *scan.last_record_id + 1 : 0)};
      if (fuzz::search_refuses(seg, o, detail::kTailSearchMacFactor * (seg.size() - o)))
        return {{}, RKind::kCorruptFrame, o, 0};
      break;
    }
    auto view = validate_canonical(f->record) ? detail::parse_recovery_view(f->record) : std::unexpected(std::string());
    if (!view) return {};
    if (view->prev_hash != scan.chain_head) return {{}, RKind::kChainBreak, o, view->record_id};
    scan = {view->record_id, std::string(view->ts_wall), scan.records + 1, 0, 0, f->mac, view->ts_mono_delta,
            view->event == kFinalizationEvent};
  }
  scan.end_offset = o;
  scan.truncated_bytes = seg.size() - o;
  return {scan, {}, 0, 0};
}

auto tie(const RecoveryScan& s) {
  return std::tie(s.last_record_id, s.last_ts_wall, s.records, s.end_offset, s.truncated_bytes, s.chain_head, s.last_ts_mono_delta, s.finalized);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [flags, log, dir, fds] = fuzz::log_case(data, size);
  const auto& [index, seg] = *log.rbegin();
  // The last segment alone, as the writer opened after the scan must see it.
  if (log.size() > 1) std::filesystem::remove(segment_path(dir, log.begin()->first));
  const Outcome want = expected_outcome(seg, index);
  const auto got = scan_segment_for_recovery(dir, index, fuzz::key());
  FUZZ_CHECK(fuzz::open_fds() == fds);
  const Bytes after = *fuzz::read_segment(index);

  if (!got) {
    // A refusal leaves the file as it was, and says where the walk stopped.
    const WriterError& e = got.error();
    const RKind k = e.recovery.kind;
    const bool at_frame = k != RKind::kHeaderCorrupt && k != RKind::kKeyIdMismatch;
    const bool at_record = k == RKind::kHmacMismatch || k == RKind::kChainBreak;
    const auto where = std::tuple(e.recovery.segment, at_frame ? e.recovery.offset : 0, at_record ? e.recovery.record : 0);
    FUZZ_CHECK_MSG(after == seg && !want.scan, e.to_string());
    FUZZ_CHECK_MSG(want.refused ? e.kind == WriterError::Kind::kRecoveryRefused && k == *want.refused &&
                                      where == std::tuple(index, want.offset, want.record)
                                : e.kind == WriterError::Kind::kRecordNotCanonical || e.kind == WriterError::Kind::kRecordSchema,
                   e.to_string());
    return 0;
  }
  const RecoveryScan& scan = *got;
  FUZZ_CHECK_MSG(want.scan && tie(scan) == tie(*want.scan), "the scan and the walk differ");
  // Only the tail went, and no intact frame with it.
  FUZZ_CHECK(after.size() == scan.end_offset && std::equal(after.begin(), after.end(), seg.begin()));
  FUZZ_CHECK(!fuzz::intact_frame_after(seg, scan.end_offset));

  // Bit 0: a segment size that rotates before every record but a segment's first.
  auto opened = fuzz::ok(fuzz::open_writer(dir, (flags & 1) != 0));
  // The scan already cut the tail: a second one finds nothing to cut.
  FUZZ_CHECK(opened.truncated_bytes == 0 &&
             opened.action == (scan.finalized ? RecoveryAction::kOpenedNextAfterFinalized : RecoveryAction::kResumed));
  fuzz::append_two(opened.writer, index, scan.end_offset, scan.chain_head);
  return 0;
}
