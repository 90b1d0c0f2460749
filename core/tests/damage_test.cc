// Damage to a small log written by the writer: every bit flipped, segments
// deleted, swapped or duplicated, frames reordered or dropped. The verifier
// reports each at the damaged place without crashing or hanging, and writer
// open never cuts a frame whose MAC verifies: it refuses, or cuts only what a
// crash could have left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <utility>

#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support/written_log.h"

namespace corvane {
namespace {

using namespace corvane::testing;
namespace stdfs = std::filesystem;

// A case that hangs ends the run with its name instead of stalling the suite.
char g_hang[256];
void arm(const std::string& what) {
  std::snprintf(g_hang, sizeof g_hang, "hang: %s\n", what.c_str());
  std::signal(SIGALRM, [](int) { (void)!::write(2, g_hang, std::strlen(g_hang)), std::_Exit(1); });
  ::alarm(60);
}

std::string verdict_of(const std::string& dir, const VerifyOptions& options = {}) { return compact_verdict(verify_ok(dir, test_key(), options)); }

// Offsets at or after `from` where a whole frame starts (both lengths agree
// and fit) whose MAC verifies under `key`.
std::vector<std::uint64_t> intact_frames_from(const Bytes& data, std::uint64_t from, const Key& key) {
  std::vector<std::uint64_t> found;
  for (std::uint64_t q = from; q + kFrameOverhead <= data.size(); ++q) {
    const std::uint32_t len = load_u32le(&data[q]);
    if (len > data.size() - q - kFrameOverhead || load_u32le(&data[q + 4 + len + kMacLen]) != len) continue;
    const Mac mac = key.mac(ByteView(data.data() + q + 4, len));
    if (std::equal(mac.begin(), mac.end(), data.begin() + static_cast<std::ptrdiff_t>(q + 4 + len))) found.push_back(q);
  }
  return found;
}

// Opens a writer on the damaged log and closes it again. A refusal must
// leave the last segment as it was; an open that cut bytes must not have cut
// a frame whose MAC verifies. Returns "Resumed", "Repaired 186",
// "refused HmacMismatch" and the like.
std::string open_outcome(const std::string& dir, const KeyHandle& key) {
  static const char* const kRefusals[] = {"HeaderCorrupt", "HmacMismatch", "ChainBreak", "KeyIdMismatch", "CorruptFrame"};
  const std::string path = segment_path(dir, list_segments(dir).value().back());
  const Bytes before = read_file(path);
  auto opened = Writer::open(dir, key, test_session(9), 1000);
  if (!opened) {
    EXPECT_EQ(read_file(path), before) << "a refused open changed " << path;
    const WriterError& e = opened.error();
    return e.kind != WriterError::Kind::kRecoveryRefused ? "error " + e.to_string()
                                                         : std::string("refused ") + kRefusals[static_cast<int>(e.recovery.kind)];
  }
  const std::uint64_t cut = opened->truncated_bytes;
  EXPECT_EQ(intact_frames_from(before, before.size() - cut, *key), std::vector<std::uint64_t>{}) << cut << " bytes cut of " << path;
  return recovery_action_name(opened->action) + (cut ? " " + std::to_string(cut) : "");
}

// Damage that applies `change` to the bytes of segment `s`.
std::function<void(const std::string&)> edited(std::uint16_t s, std::function<void(Bytes&)> change) {
  return [=](const std::string& d) {
    Bytes data = read_file(segment_path(d, s));
    change(data);
    write_file(segment_path(d, s), data);
  };
}
auto at(Bytes& data, std::uint64_t offset) { return data.begin() + static_cast<std::ptrdiff_t>(offset); }

class DamageTest : public ::testing::Test {
 protected:
  DamageTest() : log_(pristine_.path()) {}
  ~DamageTest() override { ::alarm(0); }

  // A fresh copy of the log with `damage` done: its verdict (and with
  // `pin`, the verdict against that checkpoint) and what open makes of it.
  void expect(const std::string& name, const std::function<void(const std::string&)>& damage, const std::string& verdict,
              const std::string& open, const std::optional<Checkpoint>& pin = {}, const std::string& pinned = {}) {
    SCOPED_TRACE(name);
    arm(name);
    TempDir scratch;
    const std::string dir = scratch / "log";
    copy_dir(pristine_.path(), dir);
    damage(dir);
    EXPECT_EQ(verdict_of(dir), verdict);
    if (pin) { EXPECT_EQ(verdict_of(dir, {pin, false}), pinned); }
    EXPECT_EQ(open_outcome(dir, log_.key()), open);
  }

  TempDir pristine_;
  WrittenLog log_;
};

// The frame holding byte `i`, and whether the byte is in one of its lengths.
std::pair<std::size_t, bool> frame_of(std::uint64_t i, const std::vector<RawFrame>& frames) {
  std::size_t r = 0;
  while (i >= frames.at(r).end()) ++r;
  return {r, i < frames[r].offset + 4 || i >= frames[r].end() - 4};
}

// Where the verifier reports a flip of byte `i`, and as what.
std::string expected_flip_verdict(std::uint16_t segment, std::uint64_t i, const std::vector<RawFrame>& frames) {
  const std::string s = "@s" + std::to_string(segment);
  if (i < 4) return "HeaderCorrupt" + s;  // magic
  if (i < 6) return "UnknownVersion" + s;
  if (i < kHeaderLen) return "HeaderCorrupt" + s;  // every signed byte fails the CRC, then reserved
  // A damaged length no longer frames; anything else fails the MAC.
  const auto [r, length] = frame_of(i, frames);
  return length ? "RecordCorrupt" + s : "HmacMismatch" + s + "r" + std::to_string(r);
}

// What writer open makes of a flip of byte `i` in the last segment.
std::string expected_flip_open(std::uint64_t i, const std::vector<RawFrame>& frames) {
  if (i < kHeaderLen - 4) return "refused HeaderCorrupt";  // magic, version or CRC
  if (i < kHeaderLen) return "Resumed";                    // reserved bytes are the verifier's business
  const auto [r, length] = frame_of(i, frames);
  // A frame that does not frame is a torn tail only when nothing intact
  // follows it.
  if (!length) return "refused HmacMismatch";
  return r + 1 < frames.size() ? "refused CorruptFrame" : "Repaired " + std::to_string(frames[r].end() - frames[r].offset);
}

TEST_F(DamageTest, EveryBitFlipIsReportedWhereItIs) {
  const std::string& dir = pristine_.path();
  for (std::uint16_t s = 0; s < 3; ++s) {
    const Bytes original = read_file(log_.path(s));
    const auto& frames = log_.frames(s);
    ASSERT_EQ(intact_frames_from(original, kHeaderLen, *log_.key()).size(), frames.size());  // the search finds them all
    for (std::uint64_t i = 0; i < original.size() * 8; ++i) {
      const std::string where = "segment " + std::to_string(s) + " byte " + std::to_string(i / 8) + " bit " + std::to_string(i % 8);
      arm(where);
      SCOPED_TRACE(where);
      flip_byte(log_.path(s), i / 8, static_cast<std::uint8_t>(1u << i % 8));
      ASSERT_EQ(verdict_of(dir), expected_flip_verdict(s, i / 8, frames));
      // Open reads only the last segment; flips elsewhere cannot reach it.
      if (s == 2) {
        ASSERT_EQ(std::tuple(open_outcome(dir, log_.key()), stdfs::exists(segment_path(dir, 3))),
                  std::tuple(expected_flip_open(i / 8, frames), false));
      }
      write_file(log_.path(s), original);
    }
  }
}

TEST_F(DamageTest, DeletedSwappedOrDuplicatedSegmentsAreFound) {
  // What open makes of a last segment (index 1 or more) holding the bytes of
  // the original segment s: segment 0's records do not chain from a
  // prev_final of zeros, segment 1 is finalized, segment 2 resumes.
  const std::string open_of[] = {"refused ChainBreak", "OpenedNextAfterFinalized", "Resumed"};
  const auto n = [](int i) { return std::to_string(i); };
  // A deleted segment is caught in the middle by the chain, at the ends only
  // by a checkpoint (on its record 1).
  const char* const bare[] = {"Verified", "SegmentDiscontinuity@s2", "Verified"};
  const char* const pinned[] = {"CheckpointTruncated@s0r1", "SegmentDiscontinuity@s2", "CheckpointTruncated@s2r1"};
  for (std::uint16_t s = 0; s < 3; ++s) {
    expect("delete " + n(s), [=](const std::string& d) { stdfs::remove(segment_path(d, s)); }, bare[s], open_of[s == 2 ? 1 : 2],
           log_.checkpoint(s, 1), pinned[s]);
  }
  // At index 0 a foreign header gives another genesis MAC; elsewhere the
  // prev_final names the wrong predecessor.
  for (const auto& [a, b] : {std::pair<std::uint16_t, std::uint16_t>{0, 1}, {0, 2}, {1, 2}}) {
    const auto swap = [=](const std::string& d) {
      stdfs::rename(segment_path(d, a), d + "/swap");
      stdfs::rename(segment_path(d, b), segment_path(d, a));
      stdfs::rename(d + "/swap", segment_path(d, b));
    };
    expect("swap " + n(a) + " " + n(b), swap, a == 0 ? "ChainBreak@s0r0" : "SegmentDiscontinuity@s1", open_of[b == 2 ? a : 2]);
  }
  for (std::uint16_t from = 0; from < 3; ++from) {
    for (std::uint16_t to = 0; to < 4; ++to) {
      if (from == to) continue;
      const auto copy = [=](const std::string& d) { stdfs::copy_file(segment_path(d, from), segment_path(d, to), stdfs::copy_options::overwrite_existing); };
      expect("copy " + n(from) + " to " + n(to), copy, to == 0 ? "ChainBreak@s0r0" : "SegmentDiscontinuity@s" + n(to),
             open_of[to >= 2 ? from : 2]);
    }
  }
}

TEST_F(DamageTest, SwappedOrDroppedFramesBreakTheChain) {
  for (std::uint16_t s = 0; s < 3; ++s) {
    const std::vector<RawFrame>& f = log_.frames(s);
    for (std::size_t r = 0; r < f.size(); ++r) {
      const std::string where = " segment " + std::to_string(s) + " frame " + std::to_string(r);
      // The frame after the damage no longer names the MAC before it.
      const std::string next_breaks = "ChainBreak@s" + std::to_string(s) + "r" + std::to_string(r + 1);
      const bool last_segment = s == 2, end = r + 1 == f.size();
      if (!end) {
        expect("swap" + where, edited(s, [&](Bytes& d) { std::rotate(at(d, f[r].offset), at(d, f[r + 1].offset), at(d, f[r + 1].end())); }),
               next_breaks, last_segment ? "refused ChainBreak" : "Resumed");
      }
      // Dropping the last record of the log is a cut: only a checkpoint sees
      // it. A segment without its finalization record ends on another head.
      expect("drop" + where, edited(s, [&](Bytes& d) { d.erase(at(d, f[r].offset), at(d, f[r].end())); }),
             !end ? next_breaks : last_segment ? "Verified" : "SegmentDiscontinuity@s" + std::to_string(s + 1),
             last_segment && !end ? "refused ChainBreak" : "Resumed");
    }
  }
}

}  // namespace
}  // namespace corvane
