// The reader: the cursor beside a writer, the schema's decode errors,
// find_record and read_record_at, the one-pass lookup by id and the windowed
// segment reader.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "support/written_log.h"

namespace corvane {
namespace {

using namespace corvane::testing;

// Which records a cursor yields, and where it stops, is the read_log fuzz
// target's property; here the cursor beside a writer and its error texts.
TEST(RecordCursor, MeetsAnErrorAgainAndGoesOnOnceTheFrameIsWhole) {
  TempDir dir;
  EXPECT_EQ(RecordCursor::open(dir / "nope").error().to_string(), "I/O error: No such file or directory (os error 2)");
  LogBuilder log = build_log(dir.path(), test_key(), {0, 0, 2});  // 0 and 1: the finalization only
  const std::uint64_t end = file_len(log.path());
  append_bytes(log.path(), {1, 2, 3});
  // An error leaves the position: the next call meets it again, and once the
  // writer completes the frame the walk goes on; at the end it keeps
  // reporting the end until a frame is appended.
  auto cursor = RecordCursor::open(dir.path());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(cursor->next().value());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(cursor->next().error().to_string(), "torn tail at segment 2 offset " + std::to_string(end));
  truncate_to(log.path(), end);
  const std::uint64_t appended = log.append();
  EXPECT_EQ(cursor->next().value()->byte_offset, appended);
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(cursor->next().value());
  log.append();
  EXPECT_TRUE(cursor->next().value());
}

// Records the canonical decoder accepts but the schema refuses, and records
// that are not canonical: the exact texts of the decode errors.
TEST(ReaderDecode, SchemaMessages) {
  TempDir probe_dir;
  const RecordEntries e = LogBuilder(probe_dir.path(), test_key()).begin_segment().next_entries();
  const struct { Bytes record; std::string message; } cases[] = {
      {with_entry(e, 1, cbor_text("7")), "field `record_id` expected u64, got Text(\"7\")"},
      {with_entry(e, 5, cbor_bytes(Bytes(15))), "field `session_id` expected 16-byte bstr, got 15 bytes"},
      {with_entry(e, 10, encode_head(0, 256)), "schema_version 256 exceeds u8::MAX"},
      {with_entry(e, 2, cbor_text("")), "field `prev_hash` expected byte string, got Text(\"\")"},
      {with_entry(e, 7, encode_head(0, 5)), "field `event` expected text string, got Uint(5)"},
      {with_entry(e, 8, {0x80}), "payload expected map, got Array([])"},
      {with_entry(e, 8, {0xa1, 0x01, 0x00}), "payload map key not a text string"},
      {with_entry(e, 8, {0xa1, 0x61, 0x6b, 0xa1, 0x01, 0x00}), "nested payload map key not text"},
      {[&] { RecordEntries k = e; k[9].first = 11; return encode_uint_keyed_map(k); }(), "unknown record-map key 11 (v0.1 reserves 1..=10)"},
      {without_last(e), "record map has 9 entries (expected 10)"},
      {with_text_key(e), "record map key not an unsigned integer"},
      {encode_head(0, 1), "record payload is not a CBOR map"},
      {with_trailing_byte(e), "CBOR trailing bytes at offset " + std::to_string(with_trailing_byte(e).size() - 1) + ": 1 bytes unconsumed"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    LogBuilder(dir.path(), test_key()).begin_segment().append_record_bytes(c.record);
    EXPECT_EQ(find_record(dir.path(), 0, 0).error().to_string(), "record decode error at segment 0 offset 80: " + c.message);
  }
}

TEST(ReaderFind, ReturnsTheRecordOrSaysWhyNot) {
  TempDir dir;
  LogBuilder log = build_log(dir.path(), test_key(), {3});
  const auto frames = raw_frames(log.path());
  EXPECT_EQ(find_record(dir.path(), 7, 1).error().to_string(), "record not found: segment 7, record_id 1");

  // read_record_at classifies against the length it is given; told the file
  // is longer than it is, the early end is an I/O error.
  auto file = open_file(log.path(), O_RDONLY).value();
  const std::uint64_t n = file_len(log.path());
  EXPECT_EQ(read_record_at(file, 0, frames[1].offset, n)->record_id, 1u);
  EXPECT_EQ(read_record_at(file, 0, frames[1].offset, frames[2].offset - 1).error().kind, ReaderError::Kind::kTornTail);
  EXPECT_EQ(read_record_at(file, 0, n - 3, n).error().kind, ReaderError::Kind::kTornTail);
  EXPECT_EQ(read_record_at(file, 0, n - 3, n + 100).error().to_string(), "I/O error: failed to fill whole buffer");

  // So is a length no writer makes, even in a sparse file that seems to hold
  // it (it is never allocated: 4 GiB here).
  Bytes huge = read_file(log.path());
  store_u32le(huge.data() + frames[2].offset, 0xFFFFFF00u);
  write_file(log.path(), huge);
  truncate_to(log.path(), frames[2].offset + 0xFFFFFF00ull + 40);
  EXPECT_EQ(find_record(dir.path(), 0, 2).error(), ReaderError::torn_tail(0, frames[2].offset));
}

// Ids asked for in ascending order are found in one pass as find_record
// finds them: the first frame of each id, wherever it lies; damage where the
// pass must go on is met again on every ask.
TEST(SegmentById, FindsTheFirstFrameOfEachIdInOnePass) {
  TempDir dir;
  LogBuilder log(dir.path(), test_key());
  log.begin_segment();
  const auto append_id = [&](std::uint64_t id) {
    RecordEntries e = log.next_entries();
    e[0].second = encode_head(0, id);
    return log.append_entries(e);
  };
  std::vector<std::uint64_t> offsets;
  for (const std::uint64_t id : {2, 0, 2, 1}) offsets.push_back(append_id(id));
  const std::uint64_t end = file_len(log.path());
  append_bytes(log.path(), Bytes{1, 2, 3});
  SegmentById by_id(SegmentReader::open(dir.path(), 0).value());
  const auto offset_of = [&](std::uint64_t id) { return by_id.find(id).value().value().byte_offset; };
  const std::size_t first[] = {1, 3, 0};  // the frame holding the first record of ids 0, 1, 2
  for (const std::uint64_t id : {0, 0, 1, 2}) EXPECT_EQ(offset_of(id), offsets[first[id]]);  // 0 twice: the last found
  for (const std::uint64_t id : {0, 1, 2}) EXPECT_EQ(find_record(dir.path(), 0, id).value().byte_offset, offsets[first[id]]) << id;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(by_id.find(3).error(), ReaderError::torn_tail(0, end));
  // The frame is written whole meanwhile; the lookup goes on in a fresh open.
  truncate_to(log.path(), end);
  append_id(3);
  by_id.reopen(SegmentReader::open(dir.path(), 0).value());
  EXPECT_EQ(offset_of(3), end);
}

TEST(SegmentReader, FramesLargerThanTheWindowAndFramesAcrossItsEdge) {
  TempDir dir;
  LogBuilder log(dir.path(), test_key());
  log.begin_segment();
  // A record just under 1 MiB, so the small frames after it cross the
  // window's edge, then one larger than the window.
  auto big = [&](std::size_t n) {
    const PayloadValue blob = PayloadValue::map(PayloadMap::from_unsorted({{"b", PayloadValue::bytes(Bytes(n, 7))}}));
    log.append_record_bytes(with_entry(log.next_entries(), 8, encode_payload_value(blob)));
  };
  big((1 << 20) - 400);
  for (int i = 0; i < 6; ++i) log.append();
  big(3 << 20);
  log.append();

  auto reader = SegmentReader::open(dir.path(), 0);
  ASSERT_TRUE(reader && reader->check_header());
  std::uint64_t offset = kHeaderLen;
  std::vector<std::uint64_t> ids;
  for (auto record = reader->read_record(offset); record.value(); record = reader->read_record(offset)) {
    ids.push_back((*record)->record_id);
    offset += (*record)->raw.size() + kFrameOverhead;
  }
  EXPECT_EQ(std::tuple(ids, offset), std::tuple(std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}, file_len(log.path())));
}

}  // namespace
}  // namespace corvane
