// The reader over one or two segments held in memory: a record cursor
// yields exactly the records a plain walk of the same bytes decodes, from
// segment 0 up to the first missing index, and stops at the first damaged
// header or frame with the error the walk meets, again on every later call;
// find_record finds the first record of a segment with a given id, or meets
// the same damage on its way.
#include <algorithm>

#include "corvane/cbor.h"
#include "corvane/reader.h"
#include "support.h"
#include "targets.h"

using namespace corvane;

namespace {

struct Walked {
  std::vector<StoredRecord> records;
  std::optional<ReaderError> error;  // none: the walk ended
};

// The reader's header check, or the kind of failure it must report.
bool header_ok(ByteView seg, std::uint16_t index) {
  return seg.size() >= kHeaderLen && std::equal(kMagic.begin(), kMagic.end(), seg.begin()) &&
         load_u16le(seg.data() + kHeaderVersionOffset) == kFormatVersion &&
         load_u16le(seg.data() + kHeaderIndexOffset) == index &&
         load_u32le(seg.data() + kHeaderCrcOffset) == crc32(seg.first(kHeaderSignedLen));
}

// The records of one segment from its first frame, up to the first error.
Walked walk_segment(ByteView seg, std::uint16_t index) {
  Walked out;
  if (!header_ok(seg, index)) {
    out.error = ReaderError::invalid_header(index, {});
    return out;
  }
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

bool same(const StoredRecord& a, const StoredRecord& b) {
  return a.segment_index == b.segment_index && a.byte_offset == b.byte_offset && a.record_id == b.record_id &&
         a.prev_hash == b.prev_hash && a.ts_wall == b.ts_wall && a.ts_mono_delta == b.ts_mono_delta &&
         a.session_id == b.session_id && a.actor == b.actor && a.event == b.event && a.payload == b.payload &&
         a.key_id == b.key_id && a.schema_version == b.schema_version && a.hmac == b.hmac && a.raw == b.raw;
}

// Header failures are compared by kind and segment (their texts are the
// header target's business); the rest exactly.
void check_error(const ReaderError& got, const ReaderError& want) {
  FUZZ_CHECK_MSG(got.kind == want.kind && got.segment == want.segment, got.to_string() + " | " + want.to_string());
  if (want.kind != ReaderError::Kind::kInvalidSegmentHeader) {
    FUZZ_CHECK_MSG(got == want, got.to_string() + " | " + want.to_string());
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

  // What a cursor must yield: segments 0, 1, ... while they exist.
  Walked want;
  std::map<std::uint16_t, Walked> by_segment;
  for (std::uint16_t index = 0; log.count(index) != 0 && !want.error; ++index) {
    Walked w = walk_segment(log.at(index), index);
    want.records.insert(want.records.end(), w.records.begin(), w.records.end());
    want.error = w.error;
    by_segment[index] = std::move(w);
  }

  {
    auto cursor = RecordCursor::open(fuzz::kLogDir);
    FUZZ_CHECK(cursor.has_value());
    for (const StoredRecord& expected : want.records) {
      auto next = cursor->next();
      FUZZ_CHECK_MSG(next && *next, next ? "ended early" : next.error().to_string());
      FUZZ_CHECK(same(**next, expected));
    }
    // The end, or the error, and the same again on the next call.
    for (int i = 0; i < 2; ++i) {
      auto next = cursor->next();
      if (want.error) {
        FUZZ_CHECK_MSG(!next, *next ? "a record past the damage" : "ended at the damage");
        check_error(next.error(), *want.error);
      } else {
        FUZZ_CHECK_MSG(next && !*next, next ? "a record past the end" : next.error().to_string());
      }
    }
  }
  FUZZ_CHECK(fs.open_count() == 0);

  // find_record in every segment walked: the first record with each id,
  // and for an id no record carries, the damage or RecordNotFound.
  for (const auto& [index, walked] : by_segment) {
    for (const StoredRecord& r : walked.records) {
      auto found = find_record(fuzz::kLogDir, index, r.record_id);
      FUZZ_CHECK_MSG(found.has_value(), found ? std::string() : found.error().to_string());
      const auto first = std::find_if(walked.records.begin(), walked.records.end(),
                                      [&](const StoredRecord& x) { return x.record_id == r.record_id; });
      FUZZ_CHECK(same(*found, *first));
    }
    std::uint64_t absent = 0;
    while (std::any_of(walked.records.begin(), walked.records.end(),
                       [&](const StoredRecord& x) { return x.record_id == absent; })) {
      ++absent;
    }
    auto missing = find_record(fuzz::kLogDir, index, absent);
    FUZZ_CHECK(!missing);
    check_error(missing.error(), walked.error ? *walked.error : ReaderError::not_found(index, absent));
  }
  FUZZ_CHECK(fs.open_count() == 0);
  return 0;
}
