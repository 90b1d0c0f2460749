// The recovery scan of a last segment, against a plain walk of the same
// bytes: it cuts only a torn tail (never a frame whose MAC verifies, nor
// anything in front of an intact frame), refuses exactly where the walk meets
// tampering, and changes nothing when it refuses. A writer opened on what it
// left then appends records that chain on from the scan's head, through a
// rotation when the segment size asks for one.
#include <algorithm>

#include "corvane/cbor.h"
#include "corvane/reader.h"
#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support.h"
#include "targets.h"
#include "writer/recovery_internal.h"

using namespace corvane;

namespace {

using RKind = RecoveryError::Kind;

// What the scan must come to.
struct Outcome {
  std::optional<RecoveryScan> scan;  // success
  std::optional<RKind> refused;
  bool message = false;              // a verified record the scan cannot read
  std::uint64_t offset = 0;          // refusals at a frame
  std::uint64_t record = 0;          // kHmacMismatch, kChainBreak
};

bool verifies(const fuzz::Frame& f) { return ct_equal(fuzz::fuzz_key()->mac(f.record), f.mac); }

Outcome expected_outcome(ByteView seg, std::uint16_t index) {
  Outcome out;
  const std::uint64_t size = seg.size();
  if (size < kHeaderLen || !std::equal(kMagic.begin(), kMagic.end(), seg.begin()) ||
      load_u16le(seg.data() + kHeaderVersionOffset) != kFormatVersion ||
      load_u32le(seg.data() + kHeaderCrcOffset) != crc32(seg.first(kHeaderSignedLen))) {
    out.refused = RKind::kHeaderCorrupt;
    return out;
  }
  if (!std::equal(fuzz::fuzz_key()->key_id().begin(), fuzz::fuzz_key()->key_id().end(),
                  seg.begin() + kHeaderKeyIdOffset)) {
    out.refused = RKind::kKeyIdMismatch;
    return out;
  }
  RecoveryScan scan;
  scan.chain_head = fuzz::chain_start(seg, index);
  std::uint64_t o = kHeaderLen;
  while (o < size) {
    const auto f = fuzz::frame_at(seg, o);
    if (!f || !verifies(*f)) {
      if (fuzz::all_zero(seg.subspan(o))) break;
      out.offset = o;
      if (f) {
        out.refused = RKind::kHmacMismatch;
        out.record = record_id_of(f->record).value_or(scan.last_record_id ? *scan.last_record_id + 1 : 0);
        return out;
      }
      if (fuzz::intact_frame_after(seg, o)) {
        out.refused = RKind::kCorruptFrame;
        return out;
      }
      break;
    }
    auto view = validate_canonical(f->record) ? detail::parse_recovery_view(f->record)
                                              : std::unexpected(std::string("not canonical"));
    if (!view) {
      out.message = true;
      return out;
    }
    if (view->prev_hash != scan.chain_head) {
      out.refused = RKind::kChainBreak;
      out.offset = o;
      out.record = view->record_id;
      return out;
    }
    scan.chain_head = f->mac;
    scan.last_record_id = view->record_id;
    scan.last_ts_wall = view->ts_wall;
    scan.last_ts_mono_delta = view->ts_mono_delta;
    scan.finalized = view->event == kFinalizationEvent;
    scan.records += 1;
    o = f->end();
  }
  scan.end_offset = o;
  scan.truncated_bytes = size - o;
  out.scan = scan;
  return out;
}

bool same(const RecoveryScan& a, const RecoveryScan& b) {
  return a.last_record_id == b.last_record_id && a.last_ts_wall == b.last_ts_wall && a.records == b.records &&
         a.end_offset == b.end_offset && a.truncated_bytes == b.truncated_bytes && a.chain_head == b.chain_head &&
         a.last_ts_mono_delta == b.last_ts_mono_delta && a.finalized == b.finalized;
}

// Walks the frames of `seg` from `offset` to its end: each must verify, be
// one the reader accepts, and carry the chain head as its prev_hash.
// Returns the head after the last one.
Mac walk_written(ByteView seg, std::uint16_t index, std::uint64_t offset, Mac head, std::uint64_t* frames) {
  while (offset < seg.size()) {
    const auto f = fuzz::frame_at(seg, offset);
    FUZZ_CHECK(f && verifies(*f));
    auto value = decode_canonical(f->record);
    FUZZ_CHECK(value.has_value());
    auto record = decode_stored_record(*value, index, offset, f->record, f->mac);
    FUZZ_CHECK_MSG(record.has_value(), record ? std::string() : record.error().to_string());
    FUZZ_CHECK(record->prev_hash == head);
    head = f->mac;
    offset = f->end();
    ++*frames;
  }
  return head;
}

// Opens a writer on what the scan left, appends two records, and checks that
// they continue the chain from the scan's head.
void append_after(fuzz::MemFs& fs, std::uint16_t index, const RecoveryScan& scan, bool rotate_every_record) {
  SessionId session;
  session.fill(0x11);
  auto opened = Writer::open(fuzz::kLogDir, fuzz::fuzz_key(), session,
                             rotate_every_record ? std::optional<std::uint64_t>(1) : std::nullopt);
  if (!opened && scan.finalized && index == kMaxSegmentIndex) return;
  FUZZ_CHECK_MSG(opened.has_value(), opened ? std::string() : opened.error().to_string());
  // The scan already cut the tail: a second one finds nothing to cut.
  FUZZ_CHECK(opened->truncated_bytes == 0);
  FUZZ_CHECK(opened->action == (scan.finalized ? RecoveryAction::kOpenedNextAfterFinalized : RecoveryAction::kResumed));
  AppendRecord r;
  r.ts_wall = "2024-05-01T12:00:00.000Z";
  r.actor = "fuzz";
  r.event = "fuzz.append";
  for (int i = 0; i < 2; ++i) {
    auto id = opened->writer.append(r);
    if (!id && opened->writer.segment_index() == kMaxSegmentIndex) return;
    FUZZ_CHECK_MSG(id.has_value(), id ? std::string() : id.error().to_string());
  }
  opened->writer.close();

  // Frames after the scan's end in the scanned segment, then whole segments
  // the writer created, each chained from the one before.
  std::uint64_t frames = 0;
  Mac head = walk_written(*fs.get(fuzz::log_path(index)), index, scan.end_offset, scan.chain_head, &frames);
  for (std::uint32_t next = index + 1u; next <= kMaxSegmentIndex; ++next) {
    const Bytes* seg = fs.get(fuzz::log_path(static_cast<std::uint16_t>(next)));
    if (seg == nullptr) break;
    FUZZ_CHECK(seg->size() >= kHeaderLen);
    FUZZ_CHECK(std::equal(head.begin(), head.end(), seg->begin() + kHeaderPrevFinalOffset));
    head = walk_written(*seg, static_cast<std::uint16_t>(next), kHeaderLen, head, &frames);
  }
  // Two records, and a finalization record for every rotation.
  FUZZ_CHECK(frames >= 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.byte();
  const std::uint16_t index = (flags & 1) != 0 ? 1 : 0;
  const std::uint8_t size_byte = (flags & 4) != 0 ? in.byte() : 0;
  const std::uint8_t cut_byte = (flags & 4) != 0 ? in.byte() : 0;
  Bytes seg = in.rest();
  if (kLargeSegments) fuzz::grow(seg, size_byte, cut_byte);
  fuzz::reseal(seg, index, static_cast<std::uint8_t>(flags >> 4));

  fuzz::MemFs fs;
  fs.add_dir(fuzz::kLogDir);
  fs.put(fuzz::log_path(index), seg);
  const Outcome want = expected_outcome(seg, index);
  const auto got = scan_segment_for_recovery(fuzz::kLogDir, index, fuzz::fuzz_key());
  FUZZ_CHECK(fs.open_count() == 0);
  const Bytes& after = *fs.get(fuzz::log_path(index));

  if (!got) {
    // A refusal leaves the file as it was.
    FUZZ_CHECK(after == seg);
    const WriterError& e = got.error();
    FUZZ_CHECK_MSG(!want.scan, e.to_string());
    if (want.message) {
      FUZZ_CHECK_MSG(e.kind == WriterError::Kind::kMessage, e.to_string());
      return 0;
    }
    FUZZ_CHECK_MSG(e.kind == WriterError::Kind::kRecoveryRefused && e.recovery.kind == *want.refused &&
                       e.recovery.segment == index,
                   e.to_string());
    if (*want.refused != RKind::kHeaderCorrupt && *want.refused != RKind::kKeyIdMismatch) {
      FUZZ_CHECK_MSG(e.recovery.offset == want.offset, e.to_string());
    }
    if (*want.refused == RKind::kHmacMismatch || *want.refused == RKind::kChainBreak) {
      FUZZ_CHECK_MSG(e.recovery.record == want.record, e.to_string());
    }
    return 0;
  }

  FUZZ_CHECK_MSG(want.scan.has_value(), "the scan accepted what the walk refuses");
  const RecoveryScan& scan = *got;
  FUZZ_CHECK(same(scan, *want.scan));
  FUZZ_CHECK(scan.end_offset <= seg.size() && scan.truncated_bytes == seg.size() - scan.end_offset);
  // Only the tail went, and no intact frame with it.
  FUZZ_CHECK(after.size() == scan.end_offset && std::equal(after.begin(), after.end(), seg.begin()));
  FUZZ_CHECK(!fuzz::intact_frame_after(seg, scan.end_offset));

  append_after(fs, index, scan, (flags & 2) != 0);
  return 0;
}
