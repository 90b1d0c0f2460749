// Opening a writer on one or two hostile segments: a refusal leaves every
// file as it was; a success only cuts tails (or makes a half-made last
// segment again), never anything holding an intact frame, and the records
// appended next chain on from what was kept. A second open then finds
// nothing to repair.
#include "corvane/cbor.h"
#include "corvane/reader.h"
#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support.h"
#include "targets.h"

using namespace corvane;

namespace {

// The frames of `seg` from `offset` to its end: each verifies, is one the
// reader accepts and carries the chain head; returns the head after them.
Mac walk_chain(ByteView seg, std::uint16_t index, std::uint64_t offset, Mac head) {
  while (offset < seg.size()) {
    const auto f = fuzz::frame_at(seg, offset);
    FUZZ_CHECK(f && ct_equal(fuzz::fuzz_key()->mac(f->record), f->mac));
    auto value = decode_canonical(f->record);
    FUZZ_CHECK(value.has_value());
    auto record = decode_stored_record(*value, index, offset, f->record, f->mac);
    FUZZ_CHECK_MSG(record.has_value(), record ? std::string() : record.error().to_string());
    FUZZ_CHECK(record->prev_hash == head);
    head = f->mac;
    offset = f->end();
  }
  return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.byte();
  const std::map<std::uint16_t, Bytes> log = fuzz::log_from_input(in, flags, kLargeSegments);
  const std::uint16_t last = log.rbegin()->first;

  fuzz::MemFs fs;
  fs.add_dir(fuzz::kLogDir);
  for (const auto& [index, seg] : log) fs.put(fuzz::log_path(index), seg);
  SessionId session;
  session.fill(0x33);
  // Bit 0: a segment size that rotates before every record but a segment's first.
  const auto segment_size = (flags & 1) != 0 ? std::optional<std::uint64_t>(1) : std::nullopt;
  auto opened = Writer::open(fuzz::kLogDir, fuzz::fuzz_key(), session, segment_size);

  if (!opened) {
    for (const auto& [index, seg] : log) FUZZ_CHECK_MSG(*fs.get(fuzz::log_path(index)) == seg, opened.error().to_string());
    FUZZ_CHECK(fs.open_count() == 0);
    return 0;
  }

  // What open kept of each segment: a prefix, whose cut part holds no
  // intact frame; only a last segment too short for a header may be made
  // again.
  for (const auto& [index, seg] : log) {
    const Bytes& now = *fs.get(fuzz::log_path(index));
    if (index == last && seg.size() <= kHeaderLen && now.size() >= kHeaderLen) continue;
    FUZZ_CHECK(now.size() <= seg.size() && std::equal(now.begin(), now.end(), seg.begin()));
    if (now.size() < seg.size()) FUZZ_CHECK(!fuzz::intact_frame_after(seg, now.size() - 1));
  }

  AppendRecord r;
  r.ts_wall = "2024-05-01T12:00:00.000Z";
  r.actor = "fuzz";
  r.event = "fuzz.append";
  const std::uint16_t start = opened->writer.segment_index();
  const std::uint64_t start_offset = opened->writer.segment_bytes();
  const Mac start_head = opened->writer.chain_head();
  for (int i = 0; i < 2; ++i) {
    auto id = opened->writer.append(r);
    if (!id && opened->writer.segment_index() == kMaxSegmentIndex) return 0;
    FUZZ_CHECK_MSG(id.has_value(), id ? std::string() : id.error().to_string());
  }
  FUZZ_CHECK(opened->writer.flush().has_value());
  opened->writer.close();

  // The appended frames chain on from the head open reported, across any
  // rotation; each segment begun since starts from the head before it.
  Mac head = start_head;
  for (std::uint32_t index = start; index <= kMaxSegmentIndex; ++index) {
    const Bytes* seg = fs.get(fuzz::log_path(static_cast<std::uint16_t>(index)));
    if (seg == nullptr) break;
    const std::uint64_t from = index == start ? start_offset : kHeaderLen;
    if (from == kHeaderLen) {
      FUZZ_CHECK(seg->size() >= kHeaderLen && fuzz::chain_start(*seg, static_cast<std::uint16_t>(index)) == head);
    }
    head = walk_chain(*seg, static_cast<std::uint16_t>(index), from, head);
  }

  // Nothing left to repair.
  auto again = Writer::open(fuzz::kLogDir, fuzz::fuzz_key(), session);
  FUZZ_CHECK_MSG(again.has_value(), again ? std::string() : again.error().to_string());
  FUZZ_CHECK(again->truncated_bytes == 0 && again->action == RecoveryAction::kResumed);
  FUZZ_CHECK(again->writer.chain_head() == head);
  return 0;
}
