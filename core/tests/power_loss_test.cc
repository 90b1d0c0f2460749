// Simulated power loss. A random workload of appends, flushes, rotations and
// reopens runs on SimFs; before every sync, rename, truncation and removal,
// and before random calls between, the disks a crash may leave are opened
// again: each must open, keep every record a flush acknowledged, take one
// more record and verify. Some of those recoveries crash in turn.
// CORVANE_TEST_SLOW=1 runs a wider sweep.
#include <fcntl.h>
#include <gtest/gtest.h>

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
#include "support/log_check.h"
#include "support/sim_fs.h"
#include "support/test_util.h"

namespace corvane {
namespace {

using namespace corvane::testing;

constexpr char kDir[] = "/var/log/audit";
constexpr std::uint64_t kSegmentSize = 1000;  // one to three records a segment
constexpr std::uint64_t kProbe = 1'000'000;   // "i" of the records appended after a crash

bool slow() {
  const char* v = std::getenv("CORVANE_TEST_SLOW");
  return v != nullptr && *v != 0 && std::string_view(v) != "0";
}

bool durability_point(FsOp op) {
  return op == FsOp::kSync || op == FsOp::kRename || op == FsOp::kFtruncate || op == FsOp::kUnlink;
}

// The disk when the power went, and what callers had been told by then.
struct CrashPoint {
  SimDisk disk;
  std::vector<std::uint64_t> appended;  // the record being appended included
  std::size_t acked = 0;                // how many of them a flush acknowledged
  std::string where;
};

// Appends (records numbered from 0), flushes and reopens at random on a
// fresh SimFs, collecting crash points along the way.
std::vector<CrashPoint> run_workload(std::uint64_t seed, int steps) {
  std::mt19937_64 rng(seed);
  SimFs sim;
  std::vector<CrashPoint> points;
  std::vector<std::uint64_t> appended;
  std::size_t acked = 0;
  std::string step;
  sim.before = [&](FsOp op) {
    if (durability_point(op) || rng() % 5 == 0) {
      points.push_back({sim.disk(), appended, acked, step + ", before " + fs_op_name(op)});
    }
  };
  const KeyHandle key = test_key();
  std::optional<Writer> w;
  const auto open = [&] {
    step = "open";
    w.emplace(open_writer(kDir, key, kSegmentSize).writer);
  };
  open();
  for (int s = 0; s < steps; ++s) {
    const auto roll = rng() % 100;
    if (roll < 65) {
      step = "append " + std::to_string(appended.size());
      appended.push_back(appended.size());
      append_ok(*w, sample_record(appended.back(), rng() % 120));
    } else if (roll < 90) {
      step = "flush";
      EXPECT_TRUE(w->flush());
      acked = appended.size();
    } else {
      w->close();
      open();
    }
  }
  step = "last flush";
  EXPECT_TRUE(w->flush());
  acked = appended.size();
  w->close();
  sim.before = nullptr;
  points.push_back({sim.disk(), appended, acked, "after close"});
  return points;
}

class PowerLoss {
 public:
  PowerLoss(std::size_t states_per_point, std::size_t nest_every)
      : per_point_(states_per_point), nest_every_(nest_every) {}

  // Every crash state of `p`; at `depth` 0 some recoveries are crashed too,
  // at each of their durability points.
  void check(const CrashPoint& p, int depth = 0) {
    for (const SimDisk& state : crash_states(p.disk, rng_, depth == 0 ? per_point_ : 4)) {
      SimFs sim(state);
      std::vector<CrashPoint> inner;
      if (depth == 0 && ++states_ % nest_every_ == 0) {
        sim.before = [&](FsOp op) {
          if (durability_point(op)) inner.push_back({sim.disk(), {}, p.acked, p.where + ", then in recovery"});
        };
      }
      const auto found = check_recovers(kDir, key_, p.appended, p.acked, kProbe + depth, kSegmentSize);
      sim.before = nullptr;
      ++checked_;
      if (!found || sim.open_files() != 0) {
        if (++failures_ <= 10) {
          ADD_FAILURE() << p.where << ": " << (found ? "descriptors left open" : found.error());
        }
        continue;
      }
      (found->size() - 1 < p.appended.size() ? lost_ : kept_) += 1;
      for (CrashPoint& q : inner) {
        q.appended = *found;
        check(q, depth + 1);
      }
    }
  }

  std::size_t checked() const { return checked_; }
  std::size_t failures() const { return failures_; }
  // States that lost records never acknowledged, and states that lost none.
  std::size_t lost() const { return lost_; }
  std::size_t kept() const { return kept_; }

 private:
  KeyHandle key_ = test_key();
  std::mt19937_64 rng_{7};
  std::size_t per_point_, nest_every_;
  std::size_t states_ = 0, checked_ = 0, failures_ = 0, lost_ = 0, kept_ = 0;
};

TEST(PowerLossTest, EveryCrashStateKeepsWhatWasAcknowledged) {
  const int seeds = slow() ? 16 : 3;
  PowerLoss sweep(slow() ? 32 : 12, slow() ? 3 : 6);
  std::size_t points = 0;
  for (int seed = 1; seed <= seeds; ++seed) {
    for (const CrashPoint& p : run_workload(static_cast<std::uint64_t>(seed), 70)) {
      sweep.check(p);
      ++points;
    }
  }
  EXPECT_EQ(sweep.failures(), 0u) << "of " << sweep.checked() << " crash states";
  // The sweep means something only if crashes cost unflushed records.
  EXPECT_GT(sweep.lost(), sweep.checked() / 10);
  EXPECT_GT(sweep.kept(), sweep.checked() / 10);
  std::cout << points << " crash points, " << sweep.checked() << " crash states checked\n";
}

// The crash model itself: a new file whose entry was never synced may be
// missing; unsynced writes survive whole, cut, as zeros or as garbage.
TEST(PowerLossTest, CrashStatesIncludeLostEntriesCutWritesZerosAndGarbage) {
  SimDisk disk;
  {
    SimFs sim;
    ASSERT_TRUE(create_dir_all("/d"));
    auto f = open_file("/d/f", O_RDWR | O_CREAT);
    ASSERT_TRUE(f);
    ASSERT_TRUE(write_all_at(*f, 0, Bytes(4, 0xAA)));
    ASSERT_TRUE(sync_file(*f));
    ASSERT_TRUE(sync_dir("/d"));
    ASSERT_TRUE(write_all_at(*f, 4, Bytes(4, 0xBB)));
    auto g = open_file("/d/g", O_RDWR | O_CREAT);
    ASSERT_TRUE(g);
    disk = sim.disk();
  }
  std::mt19937_64 rng(1);
  std::set<std::pair<bool, Bytes>> seen;  // (g present, f's content)
  for (const SimDisk& state : crash_states(disk, rng, 1000)) {
    SimFs sim(state);
    auto f = open_file("/d/f", O_RDONLY);
    ASSERT_TRUE(f);
    Bytes data(*file_size(*f));
    ASSERT_TRUE(read_exact_at(*f, 0, data));
    seen.insert({path_exists("/d/g").has_value(), data});
  }
  const Bytes durable(4, 0xAA);
  const auto with = [&](std::initializer_list<std::uint8_t> tail) {
    Bytes b = durable;
    b.insert(b.end(), tail);
    return b;
  };
  for (bool g : {false, true}) {
    for (const Bytes& f : {durable, with({0xBB}), with({0xBB, 0xBB, 0xBB, 0xBB}), with({0, 0, 0, 0}), with({0xBB, 0, 0, 0})}) {
      EXPECT_TRUE(seen.count({g, f})) << g << " " << to_hex(f);
    }
  }
  EXPECT_GT(seen.size(), 12u);  // garbage tails too
}

// Earlier versions wrote a new segment's header in place, so a crash could
// leave the last segment shorter than a header, or zeros where it was to
// be. Such a segment never held a record, and is made again; any other
// short or zeroed segment is still refused, and refusing changes nothing.
TEST(PowerLossTest, HalfMadeLastSegmentIsMadeAgainAndNothingElseIs) {
  using Kind = SegmentHeaderError::Kind;
  const auto prefix = [](std::size_t n) { return [n](Bytes& b) { b.resize(n); }; };
  const auto zeros = [](std::size_t n) { return [n](Bytes& b) { b.assign(n, 0); }; };
  const auto flipped = [](std::size_t n, std::size_t at) {
    return [n, at](Bytes& b) {
      b.resize(n);
      b[at] ^= 1;
    };
  };
  const auto unfinalize = [](const std::string& seg1) { truncate_to(seg1, raw_frames(seg1)[0].end()); };
  const struct Row {
    std::string name;
    std::uint16_t last;                     // 2, or 0: segment 0 alone
    std::function<void(Bytes&)> remnant;    // from the header the writer wrote
    std::function<void(const std::string&)> segment1;  // other damage
    std::optional<Kind> refused;            // none: made again
  } rows[] = {
      {"empty", 2, prefix(0), nullptr, std::nullopt},
      {"one byte", 2, prefix(1), nullptr, std::nullopt},
      {"79 bytes", 2, prefix(79), nullptr, std::nullopt},
      {"80 zeros", 2, zeros(80), nullptr, std::nullopt},
      {"40 zeros", 2, zeros(40), nullptr, std::nullopt},
      {"stray bytes after the finalized segment", 2, prefix(30), [](const std::string& s) { append_bytes(s, Bytes(9, 0xEE)); },
       std::nullopt},
      {"segment 0 empty", 0, prefix(0), nullptr, std::nullopt},
      {"segment 0, 79 bytes", 0, prefix(79), nullptr, std::nullopt},
      {"79 bytes, prev_final differs", 2, flipped(79, 50), nullptr, Kind::kTooShort},
      {"79 bytes, key_id differs", 2, flipped(79, 9), nullptr, Kind::kTooShort},
      {"80 bytes, one flipped", 2, flipped(80, 70), nullptr, Kind::kCrcMismatch},
      {"segment before not finalized", 2, prefix(79), unfinalize, Kind::kTooShort},
      {"zeros, segment before not finalized", 2, zeros(80), unfinalize, Kind::kBadMagic},
      {"segment before missing", 2, prefix(79), [](const std::string& s) { std::filesystem::remove(s); }, Kind::kTooShort},
  };
  const KeyHandle key = test_key();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir tmp;
    const std::string dir = tmp / "log";
    {
      auto w = open_writer(dir, key, 0).writer;  // one record a segment
      for (std::uint64_t i = 0; i <= row.last; ++i) append_ok(w, sample_record(i));
    }
    const std::string last = segment_path(dir, row.last), seg1 = segment_path(dir, 1);
    Bytes data = read_file(last);
    row.remnant(data);
    write_file(last, data);
    if (row.segment1) row.segment1(seg1);
    const std::uint64_t stray = row.last == 2 && path_exists(seg1) ? file_len(seg1) - raw_frames(seg1).back().end() : 0;
    auto opened = Writer::open(dir, key, test_session());
    if (row.refused) {
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error().recovery.kind, RecoveryError::Kind::kHeaderCorrupt);
      EXPECT_EQ(opened.error().recovery.detail.kind, *row.refused);
      EXPECT_EQ(read_file(last), data);
      continue;
    }
    ASSERT_TRUE(opened) << opened.error().to_string();
    EXPECT_EQ(opened->action, row.last == 0 ? RecoveryAction::kFresh : RecoveryAction::kOpenedNextAfterFinalized);
    EXPECT_EQ(opened->truncated_bytes, data.size() + stray);
    EXPECT_EQ(opened->writer.segment_index(), row.last);
    opened->writer.close();
    const std::vector<std::uint64_t> kept = {0, 1};
    const auto found = check_recovers(dir, key, std::span(kept).first(row.last), row.last, kProbe);
    EXPECT_TRUE(found) << found.error();
  }
}

// Temporary files of interrupted creations are removed on open; names that
// only look alike are left alone.
TEST(PowerLossTest, StaleTemporaryFilesAreRemovedOnOpen) {
  TempDir tmp;
  const KeyHandle key = test_key();
  for (const char* name : {"audit-0000.cbor.tmp", "audit-0007.cbor.tmp", "audit-7.cbor.tmp", "notes.tmp"}) {
    write_file(tmp / name, Bytes(5, 1));
  }
  auto opened = open_writer(tmp.path(), key);
  EXPECT_EQ(opened.action, RecoveryAction::kFresh);
  auto names = list_dir(tmp.path());
  ASSERT_TRUE(names);
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"audit-0000.cbor", "audit-7.cbor.tmp", "notes.tmp"}));
}

}  // namespace
}  // namespace corvane
