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

using namespace corvane::testing;
namespace stdfs = std::filesystem;

// The log written afresh in `dir`.
void rewrite(const std::string& dir) { stdfs::remove_all(dir), WrittenLog{dir}; }

SpanReport span_ok(const std::string& dir, const SpanOptions& options) {
  auto r = verify_span(dir, test_key(), options);
  EXPECT_TRUE(r) << r.error().to_string();
  return r ? std::move(*r) : SpanReport{};
}
std::string verdict(const std::string& dir, const SpanOptions& options) { return compact_verdict(span_ok(dir, options).report); }

// The report of walks on 2 and 3 threads equals the sequential one, in both
// modes, with and without `checkpoint`.
void expect_same_as_sequential(const std::string& dir, const KeyHandle& key, const std::string& what,
                               const std::optional<Checkpoint>& checkpoint = std::nullopt) {
  for (const bool forensic : {false, true}) {
    const VerifyOptions options{checkpoint, forensic};
    const auto sequential = verify(dir, key, options);
    for (const unsigned jobs : {2u, 3u}) {
      const auto apart = verify_span(dir, key, {.verify = options, .since = {}, .since_offset = {}, .jobs = jobs});
      const decltype(sequential) joined = apart ? decltype(sequential)(apart->report) : std::unexpected(apart.error());
      ASSERT_EQ(joined, sequential) << what << " forensic " << forensic << " jobs " << jobs << "\n"
                                    << (apart ? debug_string(apart->report) : apart.error().to_string());
    }
  }
}

TEST(VerifySpan, WalksApartMatchTheSequentialWalkUnderEveryDamage) {
  TempDir tmp;
  const std::string& dir = tmp.path();
  const WrittenLog log(dir);
  // Every byte of every segment, flipped low and high.
  for (std::uint16_t s = 0; s < 3; ++s) {
    const Bytes original = read_file(log.path(s));
    for (std::uint64_t i = 0; i < original.size() * 2; ++i) {
      flip_byte(log.path(s), i / 2, i % 2 ? 0x80 : 0x01);
      expect_same_as_sequential(dir, log.key(), "flip s" + std::to_string(s) + " byte " + std::to_string(i / 2),
                                i / 2 % 7 == 0 ? std::optional(log.checkpoint(2, 1)) : std::nullopt);
      write_file(log.path(s), original);
    }
  }
  // Segments removed, copied over one another, cut anywhere.
  for (std::uint16_t ab = 0; ab < 12; ++ab) {
    const std::uint16_t a = ab / 4, b = ab % 4;
    rewrite(dir);
    if (a == b) stdfs::remove(log.path(a));
    else stdfs::copy_file(log.path(a), log.path(b), stdfs::copy_options::overwrite_existing);
    expect_same_as_sequential(dir, log.key(), "segments " + std::to_string(a) + " " + std::to_string(b), log.checkpoint(1, 2));
  }
  rewrite(dir);
  for (std::uint64_t len = 0, size = file_len(log.path(1)); len <= size; len += 13) {
    truncate_to(log.path(1), len);
    expect_same_as_sequential(dir, log.key(), "segment 1 cut at " + std::to_string(len));
  }
  expect_same_as_sequential(dir, test_key(0x43), "another key");
}

TEST(VerifySpan, IncrementalStartsAtThePinAndProvesTheRest) {
  TempDir dir;
  const WrittenLog log(dir.path());
  const Checkpoint pin = log.checkpoint(1, 1);
  SpanOptions since{.verify = {}, .since = pin, .since_offset = {}};
  SpanReport r = span_ok(dir.path(), since);
  // s1r1, s1r2, the finalization record s1r3, then s2r0 and s2r1.
  EXPECT_EQ(std::tie(r.report.verdict, r.report.log.records_inspected, r.report.log.segments_inspected,
                     r.report.log.final_hmac_hex, r.span.start, r.span.end, r.span.pending_bytes),
            std::tuple(Verdict::kVerified, 5u, 2u, to_hex(log.head()),
                       RecordPosition{1, 1, 266}, RecordPosition{2, 1, 266}, 0u)) << debug_string(r.report);
  ASSERT_TRUE(r.span.first_ts_wall && r.span.last_ts_wall);

  // Damage before the pin is never read; a wrong offset hint is only a hint.
  flip_byte(log.path(0), 300);
  flip_byte(log.path(1), 100);
  for (const std::uint64_t hint : {266u, 0u, 267u, 452u, 1u << 30}) {
    since.since_offset = hint;
    EXPECT_EQ(verdict(dir.path(), since), "Verified") << hint;
  }

  // With the offset, nothing before the pinned frame is read in any file,
  // and the segments before it are not even opened.
  since.since = log.checkpoint(2, 1);
  since.since_offset = 266;
  {
    FaultFs fs;
    fs.fail_pread = [](off_t offset) { return offset > 0 && offset < 266; };
    EXPECT_EQ(verdict(dir.path(), since), "Verified");
    EXPECT_EQ(fs.calls(FsOp::kOpen), 1);
  }

  // The full verifier's findings about the pinned record and after it,
  // without and with the offset.
  const struct { const char* name; std::function<void()> damage; const char* bare; const char* hinted; } cases[] = {
      {"flipped byte after the pin", [&] { flip_byte(log.path(2), 100); }, "HmacMismatch@s2r0", "HmacMismatch@s2r0"},
      {"flipped byte in the pin", [&] { flip_byte(log.path(1), 300); }, "HmacMismatch@s1r1", "HmacMismatch@s1r1"},
      {"pinned segment gone", [&] { stdfs::remove(log.path(1)); }, "CheckpointTruncated@s1r1", "CheckpointTruncated@s1r1"},
      {"segment after the pin gone", [&] { stdfs::remove(log.path(2)); }, "Verified", "Verified"},
      // A frame before the pin that does not frame stops the walk to it; with
      // the offset it is never read.
      {"frame before the pin torn", [&] { flip_byte(log.path(1), 265); }, "RecordCorrupt@s1", "Verified"},
  };
  since.since = pin;
  for (const auto& c : cases) {
    rewrite(dir.path());
    c.damage();
    since.since_offset.reset();
    const std::string bare = verdict(dir.path(), since);
    since.since_offset = 266;
    EXPECT_EQ(std::tuple(bare, verdict(dir.path(), since)), std::tuple(c.bare, c.hinted)) << c.name;
  }
}

TEST(VerifySpan, LiveWalkLeavesAFrameCutByItsHorizonPending) {
  TempDir dir;
  const WrittenLog log(dir.path());
  const SpanOptions live{.verify = {}, .since = {}, .since_offset = {}, .jobs = 2, .live = true};
  const struct { std::uint16_t segment; std::uint64_t cut_to; std::string verdict; std::uint64_t pending; } cases[] = {
      {2, 266 + 100, "Verified", 100},       // inside the last frame
      {2, 266 + 2, "Verified", 2},           // inside its length field
      {2, 266, "Verified", 0},               // at a frame boundary
      {1, 266 + 100, "RecordCorrupt@s1", 0},  // not the last segment: damage
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cut_to);
    rewrite(dir.path());
    truncate_to(log.path(c.segment), c.cut_to);
    const SpanReport r = span_ok(dir.path(), live);
    EXPECT_EQ(std::tuple(compact_verdict(r.report), r.span.pending_bytes), std::tie(c.verdict, c.pending));
    EXPECT_TRUE(c.pending == 0 || r.span.end == (RecordPosition{2, 0, 80}));
  }
  // A frame whose trailing length is wrong is damage even at the end.
  rewrite(dir.path());
  flip_byte(log.path(2), file_len(log.path(2)) - 1);
  EXPECT_EQ(verdict(dir.path(), live), "RecordCorrupt@s2");
}

}  // namespace
}  // namespace corvane
