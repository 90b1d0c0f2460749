// A crash at any byte of the last two frames: cut (or zero-filled) there,
// the log reopens, loses exactly the incomplete frames, and the next record
// continues record_id and chain.
#include <gtest/gtest.h>

#include <algorithm>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/log_check.h"
#include "support/test_util.h"

namespace corvane {
namespace {

using namespace corvane::testing;

TEST(CrashTest, EveryCutInsideTheLastTwoFramesRecovers) {
  TempDir tmp;
  const KeyHandle key = test_key();
  const std::string dir = tmp / "log";
  std::string path;
  std::uint16_t last = 0;
  {
    auto w = open_writer(dir, key, 8192).writer;
    // A few hundred records of varying size, until the last segment holds
    // exactly two, so that the cuts reach back to its header.
    for (std::uint64_t i = 0; i < 300 || raw_frames(path).size() != 2; ++i) {
      append_ok(w, sample_record(i, i % 7 * 11));
      last = w.segment_index();
      path = segment_path(dir, last);
    }
    ASSERT_GE(w.segment_index(), 3);
  }
  const auto before = check_log(dir, *key);
  ASSERT_TRUE(before) << before.error();
  const Bytes original = read_file(path);
  const auto frames = raw_frames(path);
  ASSERT_EQ(frames.size(), 2u);

  for (const bool zero_fill : {false, true}) {
    for (std::uint64_t cut = frames[0].offset; cut < original.size(); ++cut) {
      Bytes data(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(cut));
      if (zero_fill) data.resize(original.size(), 0);
      write_file(path, data);
      // Frames the damage left unchanged (zeros written over bytes that were
      // zero anyway, the high bytes of a length, change nothing).
      std::uint64_t kept = 0;
      for (const RawFrame& f : frames) {
        const auto from = original.begin() + static_cast<std::ptrdiff_t>(std::max(cut, f.offset));
        const auto to = original.begin() + static_cast<std::ptrdiff_t>(f.end());
        const bool unchanged = cut >= f.end() || (zero_fill && std::all_of(from, to, [](std::uint8_t b) { return b == 0; }));
        if (!unchanged) break;
        ++kept;
      }
      const std::uint64_t good = kept ? frames[kept - 1].end() : frames[0].offset;
      const std::string where = (zero_fill ? "zeros from " : "cut at ") + std::to_string(cut);

      auto opened = Writer::open(dir, key, test_session(2), 8192);
      ASSERT_TRUE(opened) << where << ": " << opened.error().to_string();
      EXPECT_EQ(opened->action, data.size() == good ? RecoveryAction::kResumed : RecoveryAction::kRepaired) << where;
      EXPECT_EQ(opened->truncated_bytes, data.size() - good) << where;
      EXPECT_EQ(append_ok(opened->writer, sample_record(9999)), kept) << where;
      opened->writer.close();
      // Earlier segments are untouched; the last one is checked from its
      // header's prev_final, which the full check above vouched for.
      const auto after = check_log(dir, *key, false, last);
      ASSERT_TRUE(after) << where << ": " << after.error();
      EXPECT_EQ(after->size(), kept + 1) << where;
    }
  }
}

}  // namespace
}  // namespace corvane
