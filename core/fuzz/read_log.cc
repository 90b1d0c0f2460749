// The reader over one or two segments: a record cursor yields exactly the
// records a plain walk of the same bytes decodes, from segment 0 up to the
// first missing index, and stops at the first damaged header or frame with
// the error the walk meets, again on every later call; find_record finds the
// first record of a segment with a given id, or meets the same damage, and so
// does a one-pass lookup of ids 0, 1, 2, ...
#include "support.h"

using namespace corvane;

namespace {

struct Walked {
  std::vector<StoredRecord> records;
  std::optional<ReaderError> error;  // none: the walk ended
};

Walked walk_segment(ByteView seg, std::uint16_t index) {
  Walked out;
  const fuzz::Header h = fuzz::header(seg, index);
  if (!h.magic || !h.version_ok() || !h.index_ok || !h.crc_ok()) return {{}, ReaderError::invalid_header(index, {})};
  for (std::uint64_t o = kHeaderLen; o < seg.size();) {
    const auto f = fuzz::frame_at(seg, o);
    if (!f) {
      out.error = ReaderError::torn_tail(index, o);
      return out;
    }
    auto value = decode_canonical(f->record);
    if (!value) {
      out.error = ReaderError::record_decode(index, o, value.error().to_string());
      return out;
    }
    auto record = decode_stored_record(*value, index, o, f->record, f->mac);
    if (!record) {
      out.error = record.error();
      return out;
    }
    out.records.push_back(std::move(*record));
    o = f->end();
  }
  return out;
}

// Header failures by kind and segment (their texts are segment_header's business); the rest exactly.
bool same_error(const ReaderError& got, const ReaderError& want) {
  const bool header = want.kind == ReaderError::Kind::kInvalidSegmentHeader;
  return header ? got.kind == want.kind && got.segment == want.segment : got == want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [flags, log, dir, fds] = fuzz::log_case(data, size);

  // What a cursor must yield: segments 0, 1, ... while they exist.
  Walked want;
  std::map<std::uint16_t, Walked> by_segment;
  for (std::uint16_t index = 0; log.contains(index) && !want.error; ++index) {
    const Walked& w = by_segment[index] = walk_segment(log.at(index), index);
    want.records.insert(want.records.end(), w.records.begin(), w.records.end());
    want.error = w.error;
  }
  {
    auto cursor = fuzz::ok(RecordCursor::open(dir));
    // Ending early throws, and aborts.
    for (const StoredRecord& r : want.records) FUZZ_CHECK(fuzz::same(fuzz::ok(cursor.next()).value(), r));
    // The end, or the error, and the same again on the next call.
    for (int i = 0; i < 2; ++i) {
      const auto next = cursor.next();
      FUZZ_CHECK_MSG(want.error ? !next && same_error(next.error(), *want.error) : next && !*next,
                     next ? (*next ? "a record past the end" : "ended") : next.error().to_string());
    }
  }
  FUZZ_CHECK(fuzz::open_fds() == fds);

  // find_record: the first record with each id, and for an id no record
  // carries, the damage or RecordNotFound.
  for (const auto& [index, walked] : by_segment) {
    const auto with_id = [&](std::uint64_t id) { return std::ranges::find(walked.records, id, &StoredRecord::record_id); };
    for (const StoredRecord& r : walked.records)
      FUZZ_CHECK(fuzz::same(fuzz::ok(find_record(dir, index, r.record_id)), *with_id(r.record_id)));
    std::uint64_t absent = 0;
    while (with_id(absent) != walked.records.end()) ++absent;
    const auto missing = find_record(dir, index, absent);
    FUZZ_CHECK(!missing && same_error(missing.error(), walked.error.value_or(ReaderError::not_found(index, absent))));
    // Ids 0, 1, 2, ... looked up in one pass: the same answers, in any order of frames.
    auto reader = fuzz::ok(SegmentReader::open(dir, index));
    if (!reader.check_header()) continue;
    SegmentById by_id(std::move(reader));
    for (std::uint64_t id = 0;; ++id) {
      const auto want = find_record(dir, index, id);
      const auto got = by_id.find(id);
      if (!want) {
        const bool none = want.error().kind == ReaderError::Kind::kRecordNotFound;
        FUZZ_CHECK(none ? got && !*got : !got && same_error(got.error(), want.error()));
        break;
      }
      FUZZ_CHECK(got && *got && fuzz::same(**got, *want));
    }
  }
  FUZZ_CHECK(fuzz::open_fds() == fds);
  return 0;
}
