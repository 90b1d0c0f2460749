// Simulated power loss. A random workload of appends, flushes, rotations and
// reopens runs on SimFs; before every sync, rename, truncation and removal,
// and before random calls between, the disks a crash may leave are opened
// again: each must open, keep every record a flush acknowledged, take one
// more record and verify. Some of those recoveries crash in turn.
// CORVANE_TEST_SLOW=1 runs a wider sweep.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <set>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/fault_fs.h"
#include "support/sim_fs.h"
#include "support/test_util.h"
#include "support/written_log.h"
#include "writer/writer_probe.h"

namespace corvane {
namespace {

using namespace corvane::testing;

constexpr char kDir[] = "/var/log/audit";
constexpr std::uint64_t kSegmentSize = 1000;  // one to three records a segment
constexpr std::uint64_t kProbe = 1'000'000;   // "i" of the records appended after a crash

const bool kSlow = [] { const char* v = std::getenv("CORVANE_TEST_SLOW"); return v && *v && std::string_view(v) != "0"; }();

constexpr FsOp kDurabilityPoints[] = {FsOp::kSync, FsOp::kRename, FsOp::kFtruncate, FsOp::kUnlink};
bool durability_point(FsOp op) { return std::ranges::count(kDurabilityPoints, op) != 0; }

// The disk when the power went, and what callers had been told by then:
// the records appended (the one being appended included), and how many of
// them a flush acknowledged.
struct CrashPoint { SimDisk disk; std::vector<std::uint64_t> appended; std::size_t acked = 0; std::string where; };

// Appends (records numbered from 0), flushes and reopens at random on a
// fresh SimFs, collecting crash points along the way.
std::vector<CrashPoint> run_workload(std::uint64_t seed, int steps) {
  std::mt19937_64 rng(seed);
  SimFs sim;
  FaultFs seam(sim);
  std::vector<CrashPoint> points;
  std::vector<std::uint64_t> appended;
  std::size_t acked = 0;
  std::string step = "open";
  seam.before = [&](FsOp op) {
    if (durability_point(op) || rng() % 5 == 0)
      points.push_back({sim.disk(), appended, acked, step + ", before " + fs_op_name(op)});
  };
  std::optional<Writer> w;
  // Writeback started after every frame: the crash states include its calls.
  const auto open = [&] {
    w.emplace(open_writer(kDir, test_key(), kSegmentSize).writer);
    detail::WriterProbe::set_writeback_bytes(*w, 1);
  };
  open();
  for (int s = 0; s <= steps; ++s) {
    const auto roll = s == steps ? 80 : rng() % 100;
    step = roll < 65 ? "append " + std::to_string(appended.size()) : roll < 90 ? "flush" : "open";
    if (roll < 65) appended.push_back(appended.size()), append_ok(*w, sample_record(appended.back(), rng() % 120));
    if (roll >= 90) w.reset(), open();
    if (roll < 65 || roll >= 90) continue;
    EXPECT_TRUE(w->flush());
    acked = appended.size();
  }
  w.reset();
  points.push_back({sim.disk(), appended, acked, "after close"});
  return points;
}

struct Sweep {
  std::size_t per_point, nest_every;
  std::mt19937_64 rng{7};
  std::size_t states = 0, failures = 0, lost = 0, kept = 0, points = 0;

  // Every crash state of `p`; at `depth` 0 some recoveries are crashed too,
  // at each of their durability points.
  void check(const CrashPoint& p, int depth = 0) {
    for (const SimDisk& state : crash_states(p.disk, rng, depth == 0 ? per_point : 4)) {
      SimFs sim(state);
      FaultFs seam(sim);
      std::vector<CrashPoint> inner;
      if (depth == 0 && ++states % nest_every == 0)
        seam.before = [&](FsOp op) { if (durability_point(op)) inner.push_back({sim.disk(), {}, p.acked, p.where + ", then in recovery"}); };
      const auto found = check_recovers(kDir, test_key(), p.appended, p.acked, kProbe + depth, kSegmentSize);
      const bool ok = found && sim.open_files() == 0;
      if (!ok && ++failures <= 10) ADD_FAILURE() << p.where << ": " << (found ? "descriptors left open" : found.error());
      if (!ok) continue;
      (found->size() - 1 < p.appended.size() ? lost : kept) += 1;
      for (CrashPoint& q : inner) q.appended = *found, check(q, depth + 1);
    }
  }
};

TEST(PowerLossTest, EveryCrashStateKeepsWhatWasAcknowledged) {
  Sweep sweep{kSlow ? 32u : 12u, kSlow ? 3u : 6u};
  for (int seed = 1; seed <= (kSlow ? 16 : 3); ++seed)
    for (const CrashPoint& p : run_workload(static_cast<std::uint64_t>(seed), 70)) sweep.check(p), ++sweep.points;
  const std::size_t checked = sweep.lost + sweep.kept + sweep.failures;
  EXPECT_EQ(sweep.failures, 0u) << "of " << checked << " crash states";
  // The sweep means something only if crashes cost unflushed records.
  EXPECT_TRUE(sweep.lost > checked / 10 && sweep.kept > checked / 10) << sweep.lost << " lost, " << sweep.kept << " kept";
  std::cout << sweep.points << " crash points, " << checked << " crash states checked\n";
}

// Earlier versions wrote a new segment's header in place, so a crash could
// leave the last segment shorter than a header, or zeros where it was to
// be. Such a segment never held a record, and is made again; any other
// short or zeroed segment is still refused, and refusing changes nothing.
TEST(PowerLossTest, HalfMadeLastSegmentIsMadeAgainAndNothingElseIs) {
  using Kind = SegmentHeaderError::Kind;
  const auto unfinalize = [](const std::string& seg1) { truncate_to(seg1, raw_frames(seg1)[0].end()); };
  // last: 2, or 0 (segment 0 alone); len: of the header the writer wrote, kept; zeros_or_flip: -1 zeros,
  // above 0 that byte flipped; segment1: other damage; refused: none when made again.
  // clang-format off
  const struct Row {
    std::string name; std::uint16_t last; std::size_t len; int zeros_or_flip;
    std::function<void(const std::string&)> segment1; std::optional<Kind> refused;
  } rows[] = {
      {"empty", 2, 0, 0, nullptr, {}}, {"79 bytes", 2, 79, 0, nullptr, {}}, {"80 zeros", 2, 80, -1, nullptr, {}},
      {"stray bytes after the finalized segment", 2, 30, 0, [](const std::string& s) { append_bytes(s, Bytes(9, 0xEE)); }, {}},
      {"segment 0, 79 bytes", 0, 79, 0, nullptr, {}}, {"79 bytes, prev_final differs", 2, 79, 50, nullptr, Kind::kTooShort},
      {"79 bytes, key_id differs", 2, 79, 9, nullptr, Kind::kTooShort}, {"segment before not finalized", 2, 79, 0, unfinalize, Kind::kTooShort},
      {"zeros, segment before not finalized", 2, 80, -1, unfinalize, Kind::kBadMagic},
      {"segment before missing", 2, 79, 0, [](const std::string& s) { std::filesystem::remove(s); }, Kind::kTooShort}};
  // clang-format on
  const KeyHandle key = test_key();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir tmp;
    const std::string dir = tmp / "log";
    for (auto w = open_writer(dir, key, 0).writer; std::uint64_t i : {0, 1, 2})  // one record a segment
      if (i <= row.last) append_ok(w, sample_record(i));
    const std::string last = segment_path(dir, row.last), seg1 = segment_path(dir, 1);
    Bytes data = row.zeros_or_flip < 0 ? Bytes(row.len, 0) : read_file(last);
    data.resize(row.len);
    if (row.zeros_or_flip > 0) data[static_cast<std::size_t>(row.zeros_or_flip)] ^= 1;
    write_file(last, data);
    if (row.segment1) row.segment1(seg1);
    const std::uint64_t stray = row.last == 2 && path_exists(seg1) ? file_len(seg1) - raw_frames(seg1).back().end() : 0;
    auto opened = Writer::open(dir, key, test_session());
    ASSERT_EQ(opened.has_value(), !row.refused) << (opened ? "" : opened.error().to_string());
    if (row.refused) {
      EXPECT_EQ(std::tuple(opened.error().recovery.kind, opened.error().recovery.detail.kind, read_file(last)),
                std::tuple(RecoveryError::Kind::kHeaderCorrupt, *row.refused, data));
      continue;
    }
    EXPECT_EQ(std::tuple(opened->action, opened->truncated_bytes, detail::WriterProbe::segment_index(opened->writer)),
              std::tuple(row.last == 0 ? RecoveryAction::kFresh : RecoveryAction::kOpenedNextAfterFinalized,
                         data.size() + stray, row.last));
    opened->writer.close();
    const std::uint64_t kept[] = {0, 1};
    const auto found = check_recovers(dir, key, std::span(kept).first(row.last), row.last, kProbe);
    EXPECT_TRUE(found) << found.error();
  }
}

// Temporary files of interrupted creations are removed on open, and a link
// in their place (itself, not its target); names that only look alike, and
// entries the writer never makes, are left alone.
TEST(PowerLossTest, StaleTemporaryFilesAreRemovedOnOpen) {
  TempDir tmp;
  for (const char* name : {"audit-0000.cbor.tmp", "audit-0007.cbor.tmp", "audit-7.cbor.tmp", "audit-+007.cbor.tmp", "notes.tmp", "target"})
    write_file(tmp / name, Bytes(5, 1));
  std::filesystem::create_symlink(tmp / "target", tmp / "audit-0008.cbor.tmp");
  std::filesystem::create_directory(tmp / "audit-0009.cbor.tmp");
  ASSERT_EQ(::mkfifo((tmp / "audit-0010.cbor.tmp").c_str(), 0600), 0);
  EXPECT_EQ(open_writer(tmp.path(), test_key()).action, RecoveryAction::kFresh);
  const auto names = list_dir(tmp.path()).value();
  EXPECT_EQ(std::set(names.begin(), names.end()), (std::set<std::string>{"audit-+007.cbor.tmp", "audit-0000.cbor", "audit-0009.cbor.tmp",
                                             "audit-0010.cbor.tmp", "audit-7.cbor.tmp", "notes.tmp", "target"}));
  EXPECT_EQ(read_file(tmp / "target"), Bytes(5, 1));
}

}  // namespace
}  // namespace corvane
