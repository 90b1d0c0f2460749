// Damage to a small log written by the writer: every bit flipped, segments
// deleted, swapped or duplicated, frames reordered. The verifier reports each
// at the damaged place without crashing or hanging, and writer open never
// cuts a frame whose MAC verifies: it refuses, or cuts only what a crash
// could have left.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support/written_log.h"

namespace corvane {
namespace {

using testing::RawFrame;
using testing::TempDir;
using testing::WrittenLog;
namespace stdfs = std::filesystem;

// Ends the run with the case named when one check takes far longer than it
// ever should: a hang fails loudly instead of stalling the suite.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void arm(std::string what) {
    std::lock_guard lock(mu_);
    what_ = std::move(what);
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  }

 private:
  void watch() {
    std::unique_lock lock(mu_);
    while (!stop_) {
      if (cv_.wait_until(lock, deadline_, [this] { return stop_; })) return;
      if (std::chrono::steady_clock::now() >= deadline_) {
        std::fprintf(stderr, "hang: %s\n", what_.c_str());
        std::abort();
      }
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::string what_ = "setup";
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::thread thread_;  // last: starts after the fields it reads
};

std::string verdict_of(const std::string& dir, const KeyHandle& key, const VerifyOptions& options = {}) {
  auto report = verify(dir, key, options);
  return report ? compact_verdict(*report) : "error: " + report.error().to_string();
}

std::uint16_t last_segment(const std::string& dir) {
  auto indices = list_segments(dir);
  if (!indices || indices->empty()) throw std::runtime_error("no segments in " + dir);
  return indices->back();
}

// Offsets at or after `from` where a whole frame starts (both lengths agree
// and fit) whose MAC verifies under `key`.
std::vector<std::uint64_t> intact_frames_from(const Bytes& data, std::uint64_t from, const Key& key) {
  std::vector<std::uint64_t> found;
  for (std::uint64_t q = from; q + kFrameOverhead <= data.size(); ++q) {
    const std::uint32_t len = load_u32le(&data[q]);
    if (len > data.size() - q - kFrameOverhead || load_u32le(&data[q + 4 + len + kMacLen]) != len) continue;
    Mac stored;
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(q + 4 + len), kMacLen, stored.begin());
    if (key.mac(ByteView(data.data() + q + 4, len)) == stored) found.push_back(q);
  }
  return found;
}

const char* refusal_name(RecoveryError::Kind kind) {
  switch (kind) {
    case RecoveryError::Kind::kHeaderCorrupt:
      return "HeaderCorrupt";
    case RecoveryError::Kind::kHmacMismatch:
      return "HmacMismatch";
    case RecoveryError::Kind::kChainBreak:
      return "ChainBreak";
    case RecoveryError::Kind::kKeyIdMismatch:
      return "KeyIdMismatch";
    case RecoveryError::Kind::kCorruptFrame:
      return "CorruptFrame";
  }
  return "?";
}

// Opens a writer on the damaged log and closes it again. A refusal must
// leave the last segment as it was; an open that cut bytes must not have cut
// a frame whose MAC verifies. Returns "Resumed", "Repaired 186",
// "refused HmacMismatch" and the like.
std::string open_outcome(const std::string& dir, const KeyHandle& key) {
  const std::string path = segment_path(dir, last_segment(dir));
  const Bytes before = testing::read_file(path);
  auto opened = Writer::open(dir, key, testing::test_session(9), 1000);
  if (!opened) {
    EXPECT_EQ(testing::read_file(path), before) << "a refused open changed " << path;
    if (opened.error().kind != WriterError::Kind::kRecoveryRefused) return "error " + opened.error().to_string();
    return std::string("refused ") + refusal_name(opened.error().recovery.kind);
  }
  std::string outcome = recovery_action_name(opened->action);
  if (const std::uint64_t cut = opened->truncated_bytes; cut != 0) {
    EXPECT_EQ(intact_frames_from(before, before.size() - cut, *key), std::vector<std::uint64_t>{})
        << outcome << " cut " << cut << " bytes of " << path << " holding an intact frame";
    outcome += " " + std::to_string(cut);
  }
  return outcome;
}

// The pristine log, copied afresh into a scratch directory for each case.
class DamageTest : public ::testing::Test {
 protected:
  DamageTest() : log_(pristine_.path()) {}

  // Runs `damage` on a fresh copy and returns the copy's directory.
  std::string damaged(const std::function<void(const std::string&)>& damage) {
    scratch_ = std::make_unique<TempDir>();
    const std::string dir = *scratch_ / "log";
    testing::copy_dir(pristine_.path(), dir);
    damage(dir);
    return dir;
  }

  TempDir pristine_;
  WrittenLog log_;
  std::unique_ptr<TempDir> scratch_;
  Watchdog dog_;
};

// Where the verifier reports a flip of byte `i`, and as what.
std::string expected_flip_verdict(std::uint16_t segment, std::uint64_t i, const std::vector<RawFrame>& frames) {
  const std::string s = "@s" + std::to_string(segment);
  if (i < 4) return "HeaderCorrupt" + s;  // magic
  if (i < 6) return "UnknownVersion" + s;
  if (i < kHeaderLen) return "HeaderCorrupt" + s;  // every signed byte fails the CRC, then reserved
  for (std::size_t r = 0; r < frames.size(); ++r) {
    const RawFrame& f = frames[r];
    if (i >= f.end()) continue;
    // A damaged length no longer frames; anything else fails the MAC.
    if (i < f.offset + 4 || i >= f.end() - 4) return "RecordCorrupt" + s;
    return "HmacMismatch" + s + "r" + std::to_string(r);
  }
  return "beyond the last frame";
}

// What writer open makes of a flip of byte `i` in the last segment, whose
// frames are `frames`.
std::string expected_flip_open(std::uint64_t i, const std::vector<RawFrame>& frames) {
  if (i < kHeaderLen - 4) return "refused HeaderCorrupt";  // magic, version or CRC
  if (i < kHeaderLen) return "Resumed";                    // reserved bytes are the verifier's business
  for (std::size_t r = 0; r < frames.size(); ++r) {
    const RawFrame& f = frames[r];
    if (i >= f.end()) continue;
    if (i >= f.offset + 4 && i < f.end() - 4) return "refused HmacMismatch";
    // A frame that does not frame is a torn tail only when nothing intact
    // follows it.
    if (r + 1 < frames.size()) return "refused CorruptFrame";
    return "Repaired " + std::to_string(f.end() - f.offset);
  }
  return "beyond the last frame";
}

TEST_F(DamageTest, EveryBitFlipIsReportedWhereItIs) {
  const std::string dir = damaged([](const std::string&) {});
  for (std::uint16_t s = 0; s < 3; ++s) {
    const std::string path = segment_path(dir, s);
    const Bytes original = testing::read_file(path);
    const auto& frames = log_.frames(s);
    std::vector<std::uint64_t> offsets;
    for (const RawFrame& f : frames) offsets.push_back(f.offset);
    ASSERT_EQ(intact_frames_from(original, kHeaderLen, *log_.key()), offsets);  // the search finds them all
    for (std::uint64_t i = 0; i < original.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        const std::string where = "segment " + std::to_string(s) + " byte " + std::to_string(i) + " bit " +
                                  std::to_string(bit);
        const auto mask = static_cast<std::uint8_t>(1u << bit);
        testing::flip_byte(path, i, mask);
        dog_.arm(where);
        auto report = verify(dir, log_.key());
        ASSERT_TRUE(report) << where << ": " << report.error().to_string();
        ASSERT_EQ(compact_verdict(*report), expected_flip_verdict(s, i, frames)) << where;
        // Open reads only the last segment; flips elsewhere cannot reach it.
        if (s == 2) {
          ASSERT_EQ(open_outcome(dir, log_.key()), expected_flip_open(i, frames)) << where;
          ASSERT_FALSE(stdfs::exists(segment_path(dir, 3))) << where;
        }
        if (testing::file_len(path) == original.size()) {
          testing::flip_byte(path, i, mask);
        } else {
          testing::write_file(path, original);  // open cut the tail
        }
      }
    }
    ASSERT_EQ(testing::read_file(path), original);
  }
}

// What writer open makes of a last segment (index 1 or more) holding the
// bytes of the original segment `content`: segment 0's records do not chain
// from a prev_final of zeros, segment 1 is finalized, segment 2 resumes.
// The scan reads the last segment only and takes its prev_final on trust.
std::string expected_open_of_last(std::uint16_t content) {
  const char* const outcomes[] = {"refused ChainBreak", "OpenedNextAfterFinalized", "Resumed"};
  return outcomes[content];
}

TEST_F(DamageTest, DeletedSegmentIsCaughtInTheMiddleByTheChainAtTheEndsByACheckpoint) {
  const char* const bare[] = {"Verified", "SegmentDiscontinuity@s2", "Verified"};
  const char* const pinned[] = {"CheckpointTruncated@s0r1", "SegmentDiscontinuity@s2", "CheckpointTruncated@s2r1"};
  for (std::uint16_t s = 0; s < 3; ++s) {
    SCOPED_TRACE("segment " + std::to_string(s));
    const std::string dir = damaged([&](const std::string& d) { stdfs::remove(segment_path(d, s)); });
    dog_.arm("deleted segment " + std::to_string(s));
    EXPECT_EQ(verdict_of(dir, log_.key()), bare[s]);
    EXPECT_EQ(verdict_of(dir, log_.key(), {log_.checkpoint(s, 1), false}), pinned[s]);
    EXPECT_EQ(open_outcome(dir, log_.key()), expected_open_of_last(s == 2 ? 1 : 2));
  }
}

TEST_F(DamageTest, SwappedSegmentsBreakTheChain) {
  for (const auto& [a, b] : {std::pair<std::uint16_t, std::uint16_t>{0, 1}, {0, 2}, {1, 2}}) {
    SCOPED_TRACE("swap " + std::to_string(a) + " and " + std::to_string(b));
    const std::string dir = damaged([&](const std::string& d) {
      stdfs::rename(segment_path(d, a), d + "/swap");
      stdfs::rename(segment_path(d, b), segment_path(d, a));
      stdfs::rename(d + "/swap", segment_path(d, b));
    });
    dog_.arm("swap");
    // At index 0 a foreign header gives another genesis MAC; elsewhere the
    // prev_final names the wrong predecessor.
    EXPECT_EQ(verdict_of(dir, log_.key()), a == 0 ? "ChainBreak@s0r0" : "SegmentDiscontinuity@s1");
    EXPECT_EQ(open_outcome(dir, log_.key()), expected_open_of_last(b == 2 ? a : 2));
  }
}

TEST_F(DamageTest, DuplicatedSegmentBreaksTheChain) {
  for (std::uint16_t from = 0; from < 3; ++from) {
    for (std::uint16_t to = 0; to < 4; ++to) {
      if (from == to) continue;
      SCOPED_TRACE("segment " + std::to_string(from) + " copied to " + std::to_string(to));
      const std::string dir = damaged([&](const std::string& d) {
        stdfs::copy_file(segment_path(d, from), segment_path(d, to), stdfs::copy_options::overwrite_existing);
      });
      dog_.arm("duplicate");
      EXPECT_EQ(verdict_of(dir, log_.key()), to == 0 ? "ChainBreak@s0r0" : "SegmentDiscontinuity@s" + std::to_string(to));
      EXPECT_EQ(open_outcome(dir, log_.key()), expected_open_of_last(to >= 2 ? from : 2));
    }
  }
}

// Rewrites segment `s` of a log with `edit` applied to its bytes.
std::function<void(const std::string&)> rewrite(std::uint16_t s, std::function<void(Bytes&)> edit) {
  return [s, edit](const std::string& d) {
    Bytes data = testing::read_file(segment_path(d, s));
    edit(data);
    testing::write_file(segment_path(d, s), data);
  };
}

Bytes::iterator at(Bytes& data, std::uint64_t offset) { return data.begin() + static_cast<std::ptrdiff_t>(offset); }

TEST_F(DamageTest, SwappedOrDroppedFramesBreakTheChain) {
  for (std::uint16_t s = 0; s < 3; ++s) {
    const auto& frames = log_.frames(s);
    const bool last_segment = s == 2;
    for (std::size_t r = 0; r < frames.size(); ++r) {
      // The frame after the damage no longer names the MAC before it.
      const std::string next_breaks = "ChainBreak@s" + std::to_string(s) + "r" + std::to_string(r + 1);
      SCOPED_TRACE("segment " + std::to_string(s) + " frame " + std::to_string(r));
      if (r + 1 < frames.size()) {
        const std::string dir = damaged(rewrite(s, [&](Bytes& data) {
          std::rotate(at(data, frames[r].offset), at(data, frames[r + 1].offset), at(data, frames[r + 1].end()));
        }));
        dog_.arm("swap frames");
        EXPECT_EQ(verdict_of(dir, log_.key()), next_breaks);
        EXPECT_EQ(open_outcome(dir, log_.key()), last_segment ? "refused ChainBreak" : "Resumed");
      }
      const std::string dir = damaged(rewrite(s, [&](Bytes& data) {
        data.erase(at(data, frames[r].offset), at(data, frames[r].end()));
      }));
      dog_.arm("drop frame");
      const bool end = r + 1 == frames.size();
      // Dropping the last record of the log is a cut: only a checkpoint sees
      // it. A segment without its finalization record ends on another head.
      EXPECT_EQ(verdict_of(dir, log_.key()), !end          ? next_breaks
                                             : last_segment ? "Verified"
                                                            : "SegmentDiscontinuity@s" + std::to_string(s + 1));
      EXPECT_EQ(open_outcome(dir, log_.key()), last_segment && !end ? "refused ChainBreak" : "Resumed");
    }
  }
}

}  // namespace
}  // namespace corvane
