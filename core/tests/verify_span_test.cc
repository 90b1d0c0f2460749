// verify_span: segments walked apart give the sequential report for every
// damage; an incremental walk starts at its pin and reads nothing before it;
// a live walk leaves a frame cut by its horizon pending.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "corvane/verify_span.h"
#include "support/fault_fs.h"
#include "support/written_log.h"

namespace corvane {
namespace {

using testing::TempDir;
using testing::WrittenLog;
namespace stdfs = std::filesystem;

SpanReport span_ok(const std::string& dir, const KeyHandle& key, const SpanOptions& options) {
  auto r = verify_span(dir, key, options);
  EXPECT_TRUE(r) << r.error().to_string();
  return r ? std::move(*r) : SpanReport{};
}

// The report of walks on 2 and 3 threads equals the sequential one, in both
// modes, with and without `checkpoint`.
void expect_same_as_sequential(const std::string& dir, const KeyHandle& key, const std::string& what,
                               const std::optional<Checkpoint>& checkpoint = std::nullopt) {
  for (const bool forensic : {false, true}) {
    const VerifyOptions options{checkpoint, forensic};
    auto sequential = verify(dir, key, options);
    for (const unsigned jobs : {2u, 3u}) {
      SpanOptions apart;
      apart.verify = options, apart.jobs = jobs;
      auto parallel = verify_span(dir, key, apart);
      ASSERT_EQ(parallel.has_value(), sequential.has_value()) << what;
      if (!sequential) {
        ASSERT_EQ(parallel.error(), sequential.error()) << what;
        continue;
      }
      ASSERT_EQ(parallel->report, *sequential) << what << " forensic " << forensic << " jobs " << jobs << "\n"
                                               << debug_string(parallel->report) << "\n" << debug_string(*sequential);
    }
  }
}

TEST(VerifySpan, WalksApartMatchTheSequentialWalkUnderEveryDamage) {
  TempDir pristine;
  const WrittenLog log(pristine.path());
  TempDir scratch;
  const std::string dir = scratch / "log";
  const auto fresh = [&] {
    stdfs::remove_all(dir);
    testing::copy_dir(pristine.path(), dir);
  };
  fresh();
  // Every byte of every segment, flipped low and high.
  for (std::uint16_t s = 0; s < 3; ++s) {
    const Bytes original = testing::read_file(log.path(s));
    const std::string path = segment_path(dir, s);
    for (std::uint64_t i = 0; i < original.size(); ++i) {
      for (const std::uint8_t mask : {0x01, 0x80}) {
        testing::flip_byte(path, i, mask);
        expect_same_as_sequential(dir, log.key(), "flip s" + std::to_string(s) + " byte " + std::to_string(i),
                                  i % 7 == 0 ? std::optional(log.checkpoint(2, 1)) : std::nullopt);
        testing::write_file(path, original);
      }
    }
  }
  // Segments removed, copied over one another, cut anywhere.
  for (std::uint16_t a = 0; a < 3; ++a) {
    for (std::uint16_t b = 0; b < 4; ++b) {
      fresh();
      if (a == b) stdfs::remove(segment_path(dir, a));
      else stdfs::copy_file(log.path(a), segment_path(dir, b), stdfs::copy_options::overwrite_existing);
      expect_same_as_sequential(dir, log.key(), "segments " + std::to_string(a) + " " + std::to_string(b),
                                log.checkpoint(1, 2));
    }
  }
  fresh();
  const Bytes middle = testing::read_file(log.path(1));
  for (std::size_t len = 0; len <= middle.size(); len += 13) {
    testing::truncate_to(segment_path(dir, 1), len);
    expect_same_as_sequential(dir, log.key(), "segment 1 cut at " + std::to_string(len));
  }
  expect_same_as_sequential(dir, testing::test_key(0x43), "another key");
}

// Timestamps across a boundary depend on the segment before: the first
// record of a segment is held against its predecessor's last one.
TEST(VerifySpan, TimestampsAcrossBoundariesJoinLikeTheSequentialWalk) {
  const char* const times[][3] = {
      {"2024-05-01T12:00:00.000Z", "2024-05-01T11:59:00.000Z", "2024-05-01T11:58:59.999Z"},  // two steps of 60 s back
      {"2024-05-01T12:00:00.000Z", "2024-05-01T11:58:59.998Z", "2024-05-01T11:58:59.998Z"},  // regression at s1r0
      {"2024-05-01T12:00:00.000Z", "2024-05-01T12:00:00.000Z", "2024-05-01T11:00:00.000Z"},  // at s2r0
  };
  for (const auto& t : times) {
    TempDir dir;
    testing::LogBuilder b(dir.path(), testing::test_key());
    b.begin_segment().append("a", t[0]);
    b.finalize().begin_segment().append("b", t[1]);
    b.append("c", t[1]);
    b.finalize().begin_segment().append("d", t[2]);
    expect_same_as_sequential(dir.path(), testing::test_key(), t[1]);
  }
}

TEST(VerifySpan, IncrementalStartsAtThePinAndProvesTheRest) {
  TempDir dir;
  const WrittenLog log(dir.path());
  const Checkpoint pin = log.checkpoint(1, 1);
  SpanOptions since;
  since.since = pin;
  SpanReport r = span_ok(dir.path(), log.key(), since);
  // s1r1, s1r2, the finalization record s1r3, then s2r0 and s2r1.
  EXPECT_EQ(std::tie(r.report.verdict, r.report.log.records_inspected, r.report.log.segments_inspected,
                     r.report.log.final_hmac_hex, r.span.start, r.span.end, r.span.pending_bytes),
            std::tuple(Verdict::kVerified, 5u, 2u, verify(dir.path(), log.key())->log.final_hmac_hex,
                       RecordPosition{1, 1, 266}, RecordPosition{2, 1, 266}, 0u)) << debug_string(r.report);
  ASSERT_TRUE(r.span.first_ts_wall && r.span.last_ts_wall);

  // Damage before the pin is never read; a wrong offset hint is only a hint.
  testing::flip_byte(log.path(0), 300);
  testing::flip_byte(log.path(1), 100);
  for (const std::uint64_t hint : {266u, 0u, 267u, 452u, 1u << 30}) {
    since.since_offset = hint;
    EXPECT_EQ(span_ok(dir.path(), log.key(), since).report.verdict, Verdict::kVerified) << hint;
  }

  // With the offset, nothing before the pinned frame is read in any file,
  // and the segments before it are not even opened.
  since.since = log.checkpoint(2, 1);
  since.since_offset = 266;
  {
    testing::FaultFs fs;
    fs.fail_pread = [](off_t offset) { return offset > 0 && offset < 266; };
    EXPECT_EQ(span_ok(dir.path(), log.key(), since).report.verdict, Verdict::kVerified);
    EXPECT_EQ(fs.calls(testing::FsOp::kOpen), 1);
  }

  // The full verifier's findings about the pinned record and after it.
  const struct { const char* name; std::function<void()> damage; std::string verdict; } cases[] = {
      {"flipped byte after the pin", [&] { testing::flip_byte(log.path(2), 100); }, "HmacMismatch@s2r0"},
      {"flipped byte in the pin", [&] { testing::flip_byte(log.path(1), 300); }, "HmacMismatch@s1r1"},
      {"pin cut off", [&] { testing::truncate_to(log.path(1), 266); }, "CheckpointTruncated@s1r1"},
      {"pinned segment gone", [&] { stdfs::remove(log.path(1)); }, "CheckpointTruncated@s1r1"},
      {"segment after the pin gone", [&] { stdfs::remove(log.path(2)); }, "Verified"},
  };
  since.since = pin;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stdfs::remove_all(dir.path());
    const WrittenLog again(dir.path());
    c.damage();
    for (const auto& hint : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(266)}) {
      since.since_offset = hint;
      EXPECT_EQ(compact_verdict(span_ok(dir.path(), log.key(), since).report), c.verdict);
    }
  }
  // A frame before the pin that does not frame stops the walk to it; with
  // the offset it is never read.
  stdfs::remove_all(dir.path());
  const WrittenLog torn(dir.path());
  testing::flip_byte(log.path(1), 265);
  since.since_offset.reset();
  EXPECT_EQ(compact_verdict(span_ok(dir.path(), log.key(), since).report), "RecordCorrupt@s1");
  since.since_offset = 266;
  EXPECT_EQ(compact_verdict(span_ok(dir.path(), log.key(), since).report), "Verified");

  // History rewritten under the same key: another MAC at the pinned position.
  stdfs::remove_all(dir.path());
  const WrittenLog rewritten(dir.path(), log.key(), "user.audit");
  EXPECT_EQ(compact_verdict(span_ok(dir.path(), log.key(), since).report), "CheckpointMismatch@s1r1");
  since.since = Checkpoint{1, 1, Mac{}, testing::test_key(7)->key_id(), ""};
  EXPECT_EQ(verify_span(dir.path(), log.key(), since).error().kind, VerifyError::Kind::kCheckpointKeyMismatch);
}

TEST(VerifySpan, LiveWalkLeavesAFrameCutByItsHorizonPending) {
  TempDir dir;
  const WrittenLog log(dir.path());
  SpanOptions live;
  live.live = true, live.jobs = 2;
  const struct { std::uint16_t segment; std::uint64_t cut_to; std::string verdict; std::uint64_t pending; } cases[] = {
      {2, 266 + 100, "Verified", 100},       // inside the last frame
      {2, 266 + 2, "Verified", 2},           // inside its length field
      {2, 266, "Verified", 0},               // at a frame boundary
      {1, 266 + 100, "RecordCorrupt@s1", 0},  // not the last segment: damage
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cut_to);
    stdfs::remove_all(dir.path());
    const WrittenLog again(dir.path());
    testing::truncate_to(log.path(c.segment), c.cut_to);
    const SpanReport r = span_ok(dir.path(), log.key(), live);
    EXPECT_EQ(std::tuple(compact_verdict(r.report), r.span.pending_bytes), std::tie(c.verdict, c.pending));
    EXPECT_TRUE(c.pending == 0 || r.span.end == (RecordPosition{2, 0, 80}));
    EXPECT_EQ(compact_verdict(verify(dir.path(), log.key()).value()), c.segment == 2 && c.pending ? "RecordCorrupt@s2" : c.verdict);
  }
  // A frame whose trailing length is wrong is damage even at the end.
  stdfs::remove_all(dir.path());
  const WrittenLog again(dir.path());
  testing::flip_byte(log.path(2), testing::file_len(log.path(2)) - 1);
  EXPECT_EQ(compact_verdict(span_ok(dir.path(), log.key(), live).report), "RecordCorrupt@s2");
}

}  // namespace
}  // namespace corvane
