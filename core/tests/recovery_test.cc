// Recovery on open: torn tails are cut, tampering and damage in front of
// intact records are refused without changing a byte, and a crash at any
// byte of the last frames loses exactly the incomplete ones.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/fault_fs.h"
#include "support/format_testkit.h"
#include "support/test_util.h"
#include "support/written_log.h"
#include "writer/recovery_internal.h"
#include "writer/writer_probe.h"

namespace corvane {
namespace {

using namespace corvane::testing;
using Kind = RecoveryError::Kind;
using format_testkit::from_hex;

// Segments 0 and 1 hold one record and a finalization record each; the last
// segment, 2, holds six records.
class RecoveryTest : public ::testing::Test {
 protected:
  TempDir tmp;
  KeyHandle key = test_key();
  std::string dir = tmp / "log", last = segment_path(dir, 2);
  Bytes pristine;
  std::vector<RawFrame> frames;

  void SetUp() override {
    for (const std::uint64_t size : {std::uint64_t{0}, kDefaultSegmentSizeBytes}) {
      auto w = open_writer(dir, key, size).writer;
      for (int i = size == 0 ? 0 : 3; i < (size == 0 ? 3 : 8); ++i) append_ok(w, sample_record(i));
    }
    pristine = read_file(last);
    frames = raw_frames(last);
    ASSERT_EQ(frames.size(), 6u);
  }

  std::expected<Writer::Opened, WriterError> open() { return Writer::open(dir, key, test_session()); }
  static WriterError corrupt_at(std::uint64_t offset) { return WriterError::refused(RecoveryError{Kind::kCorruptFrame, 2, 0, offset, {}, {}, {}}); }
};

// The search past a damaged frame reads through a window; an intact frame
// must be found wherever it sits against the window's edge, and the search
// stays bounded whatever the tail holds.
TEST_F(RecoveryTest, TailSearchFindsIntactFramesAcrossTheWindowEdgeAndStaysBounded) {
  const std::uint64_t o = pristine.size();
  const Bytes intact(pristine.begin() + frames[1].offset, pristine.begin() + frames[1].end());
  const auto tail = [&](std::uint64_t len, std::uint8_t fill, const Bytes& after = {}) {
    Bytes data = pristine;
    data.resize(o + len, fill);
    data.insert(data.end(), after.begin(), after.end());
    write_file(last, data);
    return data;
  };
  // 0xFF never frames.
  for (int d = -6; d <= 2; ++d) EXPECT_EQ((tail(1 + detail::FileWindow::kSize + d, 0xFF, intact), open().error()), corrupt_at(o)) << d;
  tail(3 * detail::FileWindow::kSize, 0xFF);
  EXPECT_EQ(open().value().truncated_bytes, 3 * detail::FileWindow::kSize);

  // Bytes crafted without the key so that a frame seems to start every 5
  // bytes, each with a length of half the tail, would cost a MAC over half
  // the tail per 5 bytes of it; the search gives up at its bound and the open
  // is refused without a byte changed.
  constexpr std::uint64_t kTail = 1 << 20;
  constexpr std::uint32_t kLen = kTail / 2 - (kTail / 2 + 1) % 5;  // 36 + kLen is a multiple of 5
  Bytes hostile = tail(kTail, 0xAA);
  hostile[o] = 0xFF;
  for (std::uint64_t at = o + 1; at + 4 <= hostile.size(); at += 5) store_u32le(&hostile[at], kLen);
  write_file(last, hostile);
  EXPECT_EQ(std::tuple(open().error(), read_file(last)), std::tuple(corrupt_at(o), hostile));
  detail::FileWindow window(open_file(last, O_RDONLY).value(), hostile.size());
  EXPECT_EQ(detail::intact_frame_after(window, o, *key), detail::TailSearch::kGaveUp);
}

// Recovery reads the last segment through an O_DIRECT descriptor, widening
// every read to aligned blocks; where such a read is refused (EINVAL) it
// reads plainly from then on. Either way the bytes are the file's.
TEST_F(RecoveryTest, FileWindowReadsAroundTheCacheOrPlainlyWhereRefused) {
  const std::string path = tmp / "segment";
  constexpr std::size_t kWin = detail::FileWindow::kSize;
  Bytes data(kWin + kWin / 2 + 123);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
  write_file(path, data);
  const std::pair<std::uint64_t, std::size_t> ranges[] = {
      {0, 80}, {4095, 2}, {4096, 4096}, {kWin - 3, 10}, {123, kWin}, {data.size() - 5, 5}, {data.size() - kWin - 1, kWin + 1}};
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused);
    FaultFs fs;
    if (refused) fs.add({.op = FsOp::kPread, .nth = 1, .err = EINVAL});
    detail::FileWindow window(open_file(path, O_RDONLY).value(), data.size(), open_file(path, O_RDONLY | O_DIRECT).value());
    for (const auto& [offset, len] : ranges) {
      const Bytes want(data.begin() + offset, data.begin() + offset + len);
      Bytes read(len);
      EXPECT_TRUE(std::ranges::equal(window.get(offset, len).value(), want) && window.read(offset, read) && read == want) << offset;
    }
    EXPECT_EQ(window.uncached(), !refused);
  }
}

// The key is checked against the header before any record is read.
TEST_F(RecoveryTest, WrongKeyIsRefusedByTheHeader) {
  const KeyHandle other = test_key(0x43);
  flip_byte(last, frames[1].offset + 10);
  EXPECT_EQ(Writer::open(dir, other, test_session()).error(),
            WriterError::refused(RecoveryError{Kind::kKeyIdMismatch, 2, 0, 0, {}, to_hex(key->key_id()), to_hex(other->key_id())}));
}

// Records whose MAC verifies but that recovery cannot read.
TEST_F(RecoveryTest, VerifiedButUnreadableRecordsAreReported) {
  // Entries 1 (record_id 0), 2 (a 32-byte prev_hash), 3 (ts_wall "t") and 4 (ts_mono_delta 9).
  const std::string e1 = "0100", e2 = "025820" + std::string(64, 'a'), e3 = "036174", e4 = "0409";
  const std::string at = std::to_string(pristine.size()),
                    view = "scan_segment_for_recovery: record at segment 2, offset " + at + " passed HMAC but failed v0.1 schema parse: ";
  const Bytes non_canonical = {0x18, 0x05};
  const std::vector<std::pair<Bytes, std::string>> rows = {
      {non_canonical, "scan_segment_for_recovery: decoded record at offset " + at +
                          " passed HMAC but failed canonical CBOR decode: " + decode_canonical(non_canonical).error().to_string()},
      {{0x01}, view + "record is not a CBOR map"}, {{0xA1, 0x61, 'a', 0x01}, view + "non-uint map key"},
      {{0xA2, 0x02, 0x41, 0x00, 0x60, 0x00}, view + "non-uint map key"}, {{0xA1, 0x02, 0x41, 0x00}, view + "prev_hash length: 1"},
      {{0xA1, 0x01, 0x61, 'x'}, view + "missing record_id"},  // wrong kinds are ignored
      {from_hex("a1" + e1), view + "missing prev_hash"}, {from_hex("a2" + e1 + e2), view + "missing ts_wall"},
      {from_hex("a3" + e1 + e2 + e3), view + "missing ts_mono_delta"}, {from_hex("a4" + e1 + e2 + e3 + e4), view + "missing event"},
  };
  for (const auto& [record, text] : rows) {
    write_file(last, pristine), append_bytes(last, make_frame(record, *key));
    EXPECT_EQ(open().error().to_string(), text);
  }
}

// A crash at any byte of the last two frames: cut (or zero-filled) there,
// the log reopens, loses exactly the incomplete frames, and the next record
// continues record_id and chain.
TEST(CrashTest, EveryCutInsideTheLastTwoFramesRecovers) {
  TempDir tmp;
  const KeyHandle key = test_key();
  const std::string dir = tmp.path();
  std::string last;
  auto w = open_writer(dir, key, 8192).writer;
  // Records of varying size until the last segment holds exactly two, so
  // that the cuts reach back to its header.
  for (std::uint64_t i = 0; i < 300 || raw_frames(last).size() != 2; ++i) {
    append_ok(w, sample_record(i, i % 7 * 11));
    last = segment_path(dir, detail::WriterProbe::segment_index(w));
  }
  const std::uint16_t index = detail::WriterProbe::segment_index(w);
  w.close();
  ASSERT_TRUE(index >= 3 && check_log(dir, key));
  const Bytes original = read_file(last);
  const std::vector<RawFrame> frames = raw_frames(last);
  for (const bool zero_fill : {false, true}) {
    for (std::uint64_t cut = frames[0].offset; cut < original.size(); ++cut) {
      Bytes data(original.begin(), original.begin() + cut);
      if (zero_fill) data.resize(original.size(), 0);
      write_file(last, data);
      // Frames the damage left unchanged (zeros over bytes that were zero
      // anyway, the high bytes of a length, change nothing).
      std::uint64_t kept = 0;
      for (const RawFrame& f : frames) {
        const auto from = original.begin() + std::max(cut, f.offset), to = original.begin() + f.end();
        if (cut < f.end() && !(zero_fill && std::all_of(from, to, [](std::uint8_t b) { return b == 0; }))) break;
        ++kept;
      }
      const std::uint64_t good = kept ? frames[kept - 1].end() : frames[0].offset;
      SCOPED_TRACE((zero_fill ? "zeros from " : "cut at ") + std::to_string(cut));
      auto opened = open_writer(dir, key, 8192, test_session(2));
      EXPECT_EQ(std::tie(opened.action, opened.truncated_bytes),
                std::tuple(data.size() == good ? RecoveryAction::kResumed : RecoveryAction::kRepaired, data.size() - good));
      EXPECT_EQ(append_ok(opened.writer, sample_record(9999)), kept);
      opened.writer.close();
      const auto after = check_log(dir, key);
      EXPECT_EQ(after ? std::ranges::count(*after, index, &StoredRecord::segment_index) : 0, kept + 1) << (after ? "" : after.error());
    }
  }
}

}  // namespace
}  // namespace corvane
