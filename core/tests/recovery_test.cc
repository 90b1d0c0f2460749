// Recovery on open: torn tails are cut, tampering and damage in front of
// intact records are refused without changing a byte.
#include <gtest/gtest.h>

#include <random>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/log_check.h"
#include "support/test_util.h"
#include "writer/recovery_internal.h"

namespace corvane {
namespace {

using namespace corvane::testing;
using Kind = RecoveryError::Kind;

// Segments 0 and 1 hold one record and a finalization record each; the last
// segment, 2, holds six records.
class RecoveryTest : public ::testing::Test {
 protected:
  TempDir tmp;
  KeyHandle key = test_key();
  std::string dir = tmp / "log";
  std::string last;
  Bytes pristine;
  std::vector<RawFrame> frames;

  void SetUp() override {
    {
      auto w = open_writer(dir, key, 0).writer;
      for (int i = 0; i < 3; ++i) append_ok(w, sample_record(i));
    }
    auto w = open_writer(dir, key).writer;
    for (int i = 3; i < 8; ++i) append_ok(w, sample_record(i));
    w.close();
    last = segment_path(dir, 2);
    pristine = read_file(last);
    frames = raw_frames(last);
    ASSERT_EQ(frames.size(), 6u);
  }

  std::expected<Writer::Opened, WriterError> open() { return Writer::open(dir, key, test_session()); }

  static WriterError refusal(Kind kind, std::uint64_t record, std::uint64_t offset) {
    RecoveryError e;
    e.kind = kind;
    e.segment = 2;
    e.record = record;
    e.offset = offset;
    return WriterError::refused(e);
  }
};

TEST_F(RecoveryTest, DamagedFramesAreRefusedUnlessNothingIntactFollows) {
  struct Row {
    std::string name;
    std::size_t frame;
    std::function<std::uint64_t(std::uint64_t len)> at;  // byte within the frame
    std::uint8_t mask;
    std::optional<Kind> refused;  // nullopt: the frame and all after it are cut
    std::uint64_t record = 2;
  };
  const std::size_t end = 5;
  const std::vector<Row> rows = {
      {"record byte", 2, [](auto len) { return 4 + len - 3; }, 0x01, Kind::kHmacMismatch},
      {"record_id byte", 2, [](auto) { return 4 + 2; }, 0x01, Kind::kHmacMismatch, 3},  // as read
      {"MAC byte", 2, [](auto len) { return 4 + len + 5; }, 0x01, Kind::kHmacMismatch},
      {"trailing length", 2, [](auto len) { return 4 + len + 32; }, 0x01, Kind::kCorruptFrame, 0},
      {"leading length", 2, [](auto) { return 0; }, 0x01, Kind::kCorruptFrame, 0},
      {"leading length high bit", 2, [](auto) { return 3; }, 0x80, Kind::kCorruptFrame, 0},
      {"last MAC byte", end, [](auto len) { return 4 + len; }, 0x40, Kind::kHmacMismatch, 5},
      {"last trailing length", end, [](auto len) { return 4 + len + 35; }, 0x01, std::nullopt},
      {"last leading length", end, [](auto) { return 0; }, 0x02, std::nullopt},
  };
  for (const Row& row : rows) {
    write_file(last, pristine);
    const RawFrame& f = frames[row.frame];
    flip_byte(last, f.offset + row.at(f.record.size()), row.mask);
    const Bytes damaged = read_file(last);
    auto opened = open();
    if (row.refused) {
      ASSERT_FALSE(opened) << row.name;
      EXPECT_EQ(opened.error(), refusal(*row.refused, row.record, f.offset)) << row.name;
      EXPECT_EQ(read_file(last), damaged) << row.name;
      continue;
    }
    ASSERT_TRUE(opened) << row.name << ": " << opened.error().to_string();
    EXPECT_EQ(opened->action, RecoveryAction::kRepaired) << row.name;
    EXPECT_EQ(opened->truncated_bytes, pristine.size() - f.offset) << row.name;
  }
  EXPECT_EQ(refusal(Kind::kCorruptFrame, 0, 1234).to_string(),
            "corrupt frame at segment 2, offset 1234 is followed by intact records \u2014 refusing to cut them");
}

TEST_F(RecoveryTest, ZeroAndGarbageTailsAreCut) {
  std::mt19937 rng(7);
  for (const bool zeros : {true, false}) {
    for (const std::size_t len : {1, 3, 4, 39, 40, 41, 333, 8192}) {
      Bytes tail(len, 0);
      if (!zeros) std::generate(tail.begin(), tail.end(), [&] { return static_cast<std::uint8_t>(rng()); });
      write_file(last, pristine);
      append_bytes(last, tail);
      auto opened = open();
      ASSERT_TRUE(opened) << zeros << " " << len << ": " << opened.error().to_string();
      EXPECT_EQ(opened->action, RecoveryAction::kRepaired);
      EXPECT_EQ(opened->truncated_bytes, len);
      EXPECT_EQ(append_ok(opened->writer, sample_record(8)), 6u);
      opened->writer.close();
      auto log = check_log(dir, *key);
      EXPECT_TRUE(log) << log.error();
    }
  }
}

// The search past a damaged frame reads through a window; an intact frame
// must be found wherever it sits against the window's edge.
TEST_F(RecoveryTest, IntactFrameIsFoundAcrossTheReadWindowEdge) {
  const std::uint64_t o = pristine.size();
  const Bytes intact(pristine.begin() + static_cast<std::ptrdiff_t>(frames[1].offset),
                     pristine.begin() + static_cast<std::ptrdiff_t>(frames[1].end()));
  for (int d = -6; d <= 2; ++d) {
    Bytes data = pristine;
    data.resize(o + 1 + detail::FileWindow::kSize + d, 0xFF);  // never frames
    data.insert(data.end(), intact.begin(), intact.end());
    write_file(last, data);
    auto opened = open();
    ASSERT_FALSE(opened) << d;
    EXPECT_EQ(opened.error(), refusal(Kind::kCorruptFrame, 0, o)) << d;
  }
  Bytes data = pristine;
  data.resize(o + 3 * detail::FileWindow::kSize, 0xFF);
  write_file(last, data);
  auto opened = open();
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->truncated_bytes, 3 * detail::FileWindow::kSize);
}

TEST_F(RecoveryTest, WrongKeyIsRefusedBeforeAnyRecord) {
  flip_byte(last, frames[1].offset + 10);
  const KeyHandle other = test_key(0x43);
  auto opened = Writer::open(dir, other, test_session());
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().to_string(), "key_id mismatch in segment 2: header has " + to_hex(key->key_id()) +
                                            ", caller's key handle is " + to_hex(other->key_id()));
}

TEST_F(RecoveryTest, ForeignPrevHashIsAChainBreak) {
  truncate_to(last, frames[4].offset);
  append_bytes(last, make_frame(encode_record(sample_record(9), test_session(), key->key_id(), frames[1].mac, 4), *key));
  const Bytes before = read_file(last);
  EXPECT_EQ(open().error(), refusal(Kind::kChainBreak, 4, frames[4].offset));
  EXPECT_EQ(read_file(last), before);
}

// Records whose MAC verifies but that recovery cannot read.
TEST_F(RecoveryTest, VerifiedButUnreadableRecordsAreReported) {
  const Bytes mac32(32, 0xAB);
  auto map = [&](int fields) {
    std::vector<std::pair<std::uint64_t, Bytes>> entries = {
        {1, encode_head(0, 0)}, {2, Bytes{0x58, 0x20}}, {3, Bytes{0x61, 't'}}, {4, encode_head(0, 9)}};
    entries[1].second.insert(entries[1].second.end(), mac32.begin(), mac32.end());
    entries.resize(fields);
    return encode_uint_keyed_map(entries);
  };
  const std::string view = "scan_segment_for_recovery: record at segment 2, offset " +
                           std::to_string(pristine.size()) + " passed HMAC but failed v0.1 schema parse: ";
  const Bytes non_canonical = {0x18, 0x05};
  const std::vector<std::pair<Bytes, std::string>> rows = {
      {non_canonical, "scan_segment_for_recovery: decoded record at offset " + std::to_string(pristine.size()) +
                          " passed HMAC but failed canonical CBOR decode: " +
                          decode_canonical(non_canonical).error().to_string()},
      {{0x01}, view + "record is not a CBOR map"},
      {{0xA1, 0x61, 'a', 0x01}, view + "non-uint map key"},
      {{0xA2, 0x02, 0x41, 0x00, 0x60, 0x00}, view + "non-uint map key"},
      {{0xA1, 0x02, 0x41, 0x00}, view + "prev_hash length: 1"},
      {{0xA1, 0x01, 0x61, 'x'}, view + "missing record_id"},  // wrong kinds are ignored
      {map(1), view + "missing prev_hash"},
      {map(2), view + "missing ts_wall"},
      {map(3), view + "missing ts_mono_delta"},
      {map(4), view + "missing event"},
  };
  for (const auto& [record, text] : rows) {
    write_file(last, pristine);
    append_bytes(last, make_frame(record, *key));
    auto opened = open();
    ASSERT_FALSE(opened) << text;
    EXPECT_EQ(opened.error(), WriterError::from_message(text));
  }
}

TEST_F(RecoveryTest, HeaderIsCheckedButNotItsIndexOrReservedBytes) {
  auto crc_fixed = [](Bytes b) {
    store_u32le(&b[kHeaderCrcOffset], crc32(ByteView(b.data(), kHeaderSignedLen)));
    return b;
  };
  Bytes crc = pristine, index = pristine, reserved = pristine;
  crc[kHeaderCrcOffset] ^= 1;
  // Short, and not the start of the header the writer would write here (a
  // prefix of that is a remnant of its creation, made again on open).
  Bytes short_header(pristine.begin(), pristine.begin() + 79);
  short_header[kHeaderKeyIdOffset] ^= 1;
  index[kHeaderIndexOffset] = 9;
  reserved[kHeaderReservedOffset + 1] = 1;
  const std::vector<std::pair<Bytes, std::optional<SegmentHeaderError::Kind>>> rows = {
      {crc, SegmentHeaderError::Kind::kCrcMismatch},
      {short_header, SegmentHeaderError::Kind::kTooShort},
      {crc_fixed(index), std::nullopt},
      {reserved, std::nullopt},
  };
  for (const auto& [data, expected] : rows) {
    write_file(last, data);
    auto opened = open();
    if (!expected) {
      EXPECT_TRUE(opened && opened->action == RecoveryAction::kResumed);
      continue;
    }
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().recovery.kind, Kind::kHeaderCorrupt);
    EXPECT_EQ(opened.error().recovery.segment, 2);
    EXPECT_EQ(opened.error().recovery.detail.kind, *expected);
  }
}

}  // namespace
}  // namespace corvane
