// Segment files: names and their parse, directory listing, the 80-byte
// header, segment creation through the I/O seam, the two header checks
// with their exact texts in the order the checks run, and the frame parse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "corvane/io.h"
#include "corvane/key.h"
#include "corvane/segment.h"
#include "format/frames.h"
#include "format/segment_file.h"
#include "support/fault_fs.h"
#include "support/format_testkit.h"
#include "support/test_util.h"

namespace corvane {
namespace {

using namespace format_testkit;
using testing::FaultFs, testing::FsOp, testing::TempDir, testing::file_len, testing::read_file, testing::write_file;

const KeyId kKeyId = [] { KeyId a; std::iota(a.begin(), a.end(), 1); return a; }();
const Mac kPrevFinal = [] { Mac a; std::iota(a.begin(), a.end(), 0xA0); return a; }();

// Segment 3 with kKeyId and kPrevFinal; CRC computed with zlib.
const char* const kHeader3Hex =
    "43564155 0100 0300 0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20"
    " a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf 685794b7 00000000";

void SetU16(Bytes& h, std::size_t off, std::uint16_t v) { store_u16le(h.data() + off, v); }
void FixCrc(Bytes& h) { store_u32le(h.data() + kHeaderCrcOffset, static_cast<std::uint32_t>(::crc32(0, h.data(), kHeaderSignedLen))); }

File OpenRead(const std::string& path) { return std::move(open_file(path, O_RDONLY).value()); }

TEST(SegmentNames, IndexIsZeroPaddedToFourDigitsAndOnlyTheWritersNamesParse) {
  const struct { std::uint16_t index; const char* name; } rows[] = {
      {0, "audit-0000.cbor"}, {5, "audit-0005.cbor"}, {9999, "audit-9999.cbor"}, {10000, "audit-10000.cbor"}, {65535, "audit-65535.cbor"},
  };
  for (const auto& r : rows) EXPECT_EQ(std::tuple(segment_file_name(r.index), parse_segment_file_name(r.name)), std::tuple(r.name, r.index));
  EXPECT_EQ(segment_path("/logs/a", 5), "/logs/a/audit-0005.cbor");
  // No other spelling of an index is a segment name: no sign, no five digits
  // below 10000. (The segment_header fuzz target also asks that every name
  // that parses, but a signed one, is the one its index makes.)
  const std::string others[] = {"audit-+002.cbor", "audit-+1234.cbor", "audit-+12345.cbor", "audit-+.cbor", "audit-++01.cbor", "audit-00+1.cbor",
                                "audit--001.cbor", "audit-00005.cbor", "audit-09999.cbor", "audit-65536.cbor", "audit-100000.cbor", "audit-5.cbor",
                                "AUDIT-0005.cbor", "audit-0005.cbor.tmp", "xaudit-0005.cbor", "audit-0005xcbor", "audit- 001.cbor", "audit-0x01.cbor",
                                "", "audit-\xff\xfe" "05.cbor", std::string("audit-\0" "005.cbor", 15)};
  for (const auto& name : others) EXPECT_EQ(parse_segment_file_name(name), std::nullopt) << name;
}

TEST(ListSegments, KeepsGapsSortsIgnoresOtherNamesAndMayTakeAMissingDirectoryAsEmpty) {
  TempDir dir;
  for (const char* name : {"audit-0002.cbor", "audit-10000.cbor", "audit-0000.cbor", "audit-5.cbor",
                           "audit-0003.cbor.tmp", "notes.txt", "audit-00004.cbor"})
    write_file(dir / name, {});
  ASSERT_EQ(::mkdir((dir / "audit-0007.cbor").c_str(), 0700), 0);  // only the name counts
  const auto got = list_segments(dir.path());
  EXPECT_EQ(got, (std::vector<std::uint16_t>{0, 2, 7, 10000}));
  EXPECT_EQ(std::tuple(list_segments(dir.path(), MissingDirectory::kIsEmpty), list_segments(open_file(dir.path(), O_RDONLY | O_DIRECTORY).value())),
            std::tuple(got, got));
  // A listing taken while names change may repeat one; an index never is.
  EXPECT_EQ(segment_indices({"audit-0002.cbor", "audit-0001.cbor", "audit-0002.cbor"}), (std::vector<std::uint16_t>{1, 2}));
  EXPECT_EQ(std::tuple(list_segments(dir / "nope").error(), list_segments(dir / "nope", MissingDirectory::kIsEmpty).value()),
            std::tuple(IoError::from_errno(ENOENT), std::vector<std::uint16_t>{}));
  EXPECT_EQ(list_segments(dir / "audit-0002.cbor").error(), IoError::from_errno(ENOTDIR));
}

TEST(PathsWithNul, AreRefusedBeforeAnySystemCall) {
  const std::string bad("dir\0x", 5);
  const IoError nul = IoError::nul_in_path();
  EXPECT_EQ(std::tuple(open_file(bad, O_RDONLY).error(), list_dir(bad).error(), create_dir_all(bad).error(), path_exists(bad).error(),
                       list_segments(bad, MissingDirectory::kIsEmpty).error(), create_segment(bad, 0, kKeyId, Mac{}).error().io),
            std::tuple(nul, nul, nul, nul, nul, nul));
}

// The descriptor it returns is the one the writer appends through, so every
// log written in these tests shows that it is open for writing.
TEST(CreateSegment, WritesExactlyTheHeaderOverAnyOldContent) {
  TempDir dir;
  write_file(dir / "audit-0003.cbor", Bytes(300, 0xEE));
  const mode_t old_mask = ::umask(0);  // 0640 at most, whatever the umask
  auto file = create_segment(dir.path(), 3, kKeyId, kPrevFinal);
  ::umask(old_mask);
  ASSERT_TRUE(file) << file.error().io.to_string();
  EXPECT_EQ(read_file(dir / "audit-0003.cbor"), from_hex(kHeader3Hex));
  EXPECT_EQ(std::filesystem::status(dir / "audit-0003.cbor").permissions(), std::filesystem::perms(0640));
  EXPECT_NE(::fcntl(file->fd(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(create_segment(dir / "missing", 0, kKeyId, Mac{}).error().io, IoError::from_errno(ENOENT));
  // A write that fails closes the descriptor and leaves only the temporary
  // file behind.
  {
    FaultFs faults;
    faults.add({.op = FsOp::kPwrite, .err = ENOSPC});
    EXPECT_EQ(create_segment(dir.path(), 2, kKeyId, kPrevFinal).error().io, IoError::from_errno(ENOSPC));
  }
  EXPECT_TRUE(!path_exists(dir / "audit-0002.cbor") && path_exists(dir / "audit-0002.cbor.tmp"));
}

// Whatever holds the temporary name is removed first and never written
// through: a link planted there (to a file the process may write) leaves its
// target as it was. A directory there is refused, not replaced.
TEST(CreateSegment, NeverWritesThroughWhatHoldsTheTemporaryName) {
  TempDir dir;
  const std::string victim = dir / "victim", temp = dir / "audit-0001.cbor.tmp";
  write_file(victim, Bytes(3200, 0x5A));
  for (const bool fifo : {false, true}) {
    ASSERT_EQ(fifo ? ::mkfifo(temp.c_str(), 0600) : ::symlink(victim.c_str(), temp.c_str()), 0);
    auto file = create_segment(dir.path(), 1, kKeyId, kPrevFinal);
    ASSERT_TRUE(file) << file.error().io.to_string();
    EXPECT_EQ(read_file(victim), Bytes(3200, 0x5A));
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir / "audit-0001.cbor")) && !path_exists(temp));
  }
  ASSERT_EQ(::mkdir(temp.c_str(), 0700), 0);
  EXPECT_EQ(create_segment(dir.path(), 1, kKeyId, kPrevFinal).error().io, IoError::from_errno(EISDIR));
  EXPECT_EQ(file_len(dir / "audit-0001.cbor"), kHeaderLen);

  // A link planted between the removal and the creation (another process
  // racing the writer) fails the creation instead of being written through.
  std::filesystem::remove_all(temp);
  FaultFs fs;
  bool removed = false;
  fs.before = [&](FsOp op) {
    if (op == FsOp::kUnlink) removed = true;
    if (op == FsOp::kOpen && std::exchange(removed, false)) ::symlink(victim.c_str(), temp.c_str());
  };
  EXPECT_EQ(create_segment(dir.path(), 1, kKeyId, kPrevFinal).error().io, IoError::from_errno(EEXIST));
  EXPECT_EQ(read_file(victim), Bytes(3200, 0x5A));
}

// Header checks. Each row damages the segment-3 header; the reader checks
// magic, version, index and CRC in that order, so combined damage names the
// first; recovery does not examine the index.
TEST(SegmentHeaderCheck, ReaderAndRecoveryReportTheFirstFailingCheckEachWithItsOwnText) {
  using HK = SegmentHeaderError::Kind;
  const auto refused = [](SegmentHeaderError d) { return std::optional(WriterError::refused({RecoveryError::Kind::kHeaderCorrupt, 3, 0, 0, d, {}, {}})); };
  const auto crc = [&](std::uint32_t computed, std::uint32_t stored) { return refused({HK::kCrcMismatch, 0, {}, 0, computed, stored}); };
  // The reader's reason and recovery's refusal (none: it passes).
  const struct { const char* name; void (*damage)(Bytes&); const char* reason; std::optional<WriterError> refusal; } rows[] = {
      {"IndexNine", [](Bytes& h) { SetU16(h, 6, 9); FixCrc(h); }, "filename indicates segment 3 but header says 9", std::nullopt},
      {"Length79", [](Bytes& h) { h.resize(79); }, "file shorter than 80-byte header", refused({HK::kTooShort, 79, {}, 0, 0, 0})},
      {"BadMagicVersionIndex", [](Bytes& h) { h[0] = 0; SetU16(h, 4, 2); SetU16(h, 6, 9); }, "magic mismatch: [0, 86, 65, 85]",
       refused({HK::kBadMagic, 0, {0, 86, 65, 85}, 0, 0, 0})},
      {"Version2WrongIndexBadCrc", [](Bytes& h) { SetU16(h, 4, 2); SetU16(h, 6, 4); }, "unsupported version 0x0002",
       refused({HK::kUnsupportedVersion, 0, {}, 2, 0, 0})},
      {"IndexMismatchBadCrc", [](Bytes& h) { SetU16(h, 6, 65535); }, "filename indicates segment 3 but header says 65535",
       crc(0x9935ddf0, 0xb7945768)},
      {"CrcByteFlipped", [](Bytes& h) { h[72] ^= 1; }, "CRC32 mismatch: stored 0xb7945769, computed 0xb7945768", crc(0xb7945768, 0xb7945769)},
  };
  TempDir dir;
  const std::string path = dir / "audit-0003.cbor";
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes h = from_hex(kHeader3Hex);
    r.damage(h);
    write_file(path, h);
    const File file = OpenRead(path);
    const auto recovered = read_header_for_recovery(file, h.size(), 3);
    EXPECT_EQ(check_segment_header(file, 3), std::unexpected(ReaderError::invalid_header(3, r.reason)));
    EXPECT_EQ(recovered ? std::nullopt : std::optional(recovered.error()), r.refusal);
  }
  // Recovery takes the length from the file's metadata; a failed read is an
  // I/O error, not a header error, for both.
  EXPECT_EQ(read_header_for_recovery(OpenRead(path), 79, 3).error().recovery.detail, (SegmentHeaderError{HK::kTooShort, 79, {}, 0, 0, 0}));
  write_file(dir / "audit-0000.cbor", Bytes(79, 0));
  EXPECT_EQ(read_header_for_recovery(OpenRead(dir / "audit-0000.cbor"), 80, 0).error(), WriterError::from_io(IoError::unexpected_eof()));
  EXPECT_EQ(check_segment_header(OpenRead(dir.path()), 0).error(), ReaderError::from_io(IoError::from_errno(EISDIR)));
}

// The one frame parse, at each of its limits: what is at hand, what the file
// holds, the length bound and the trailing length.
TEST(FrameParse, SaysCompleteTornBadOrWhatItNeedsAtEachLimit) {
  const auto frame = [](std::uint32_t len, std::uint32_t trailer, std::size_t keep) {
    Bytes f(std::uint64_t{len} + kFrameOverhead, 0xAA);
    store_u32le(f.data(), len);
    store_u32le(f.data() + f.size() - kFrameLenField, trailer);
    f.resize(std::min(f.size(), keep));
    return f;
  };
  using S = FrameStatus;
  const struct { const char* name; Bytes bytes; std::uint64_t left; S status; std::uint64_t size; } rows[] = {
      {"LengthFieldCut", {}, 3, S::kTorn, 0},
      {"NothingAtHand", {}, 4, S::kNeedBytes, 4},
      {"FrameCut", frame(5, 5, 4), 44, S::kTorn, 0},
      {"LengthOnlyAtHand", frame(5, 5, 4), 45, S::kNeedBytes, 45},
      {"Whole", frame(5, 5, 99), 45, S::kComplete, 45},
      {"EmptyRecord", frame(0, 0, 99), 40, S::kComplete, 40},
      {"TrailingLengthDiffers", frame(5, 4, 99), 1000, S::kBadLength, 0},
      {"LengthAtTheBound", Bytes{0, 0, 0, 2}, std::uint64_t{1} << 40, S::kNeedBytes, MAX_RECORD_LEN + 40},
      {"LengthPastTheBound", Bytes{1, 0, 0, 2}, std::uint64_t{1} << 40, S::kBadLength, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const Frame f = parse_frame(r.bytes, r.left);
    EXPECT_EQ(std::tie(f.status, f.size), std::tie(r.status, r.size));
  }
}

}  // namespace
}  // namespace corvane
