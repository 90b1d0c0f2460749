// The writer under failing system calls: interruptions and short writes are
// absorbed, a failed write is cut back, a failed sync (or cut) stops the
// writer until the log is reopened, and reopening always recovers.
#include <gtest/gtest.h>

#include <cerrno>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/fault_fs.h"
#include "support/log_check.h"
#include "support/test_util.h"

namespace corvane {
namespace {

using namespace corvane::testing;

WriterError io_error(int err) { return WriterError::from_io(IoError::from_errno(err)); }

class WriterFaultTest : public ::testing::Test {
 protected:
  TempDir tmp;
  KeyHandle key = test_key();
  std::string dir = tmp / "log";

  // The number of records other than finalization records, after checking
  // the whole log.
  std::size_t ordinary_records() {
    auto log = check_log(dir, *key);
    if (!log) throw std::runtime_error(log.error());
    return std::count_if(log->begin(), log->end(), [](const LogRecord& r) { return r.event() != kFinalizationEvent; });
  }
};

TEST_F(WriterFaultTest, InterruptionsAndShortWritesAreAbsorbed) {
  FaultFs faults;
  faults.fail(FsOp::kOpen, 1, EINTR);
  faults.fail(FsOp::kFlock, 1, EINTR);
  faults.fail(FsOp::kPwrite, 1, EINTR);
  faults.short_write(2, 1);
  faults.short_write(5, 3, /*sticky=*/true);
  faults.fail(FsOp::kSync, 1, EINTR);
  auto w = open_writer(dir, key, 700).writer;
  for (int i = 0; i < 10; ++i) append_ok(w, sample_record(i));
  ASSERT_TRUE(w.flush());
  EXPECT_GT(faults.calls(FsOp::kPwrite), 500);
  w.close();
  EXPECT_EQ(ordinary_records(), 10u);
}

// ENOSPC after part of a frame (an ordinary one, or the finalization record
// of a rotation) leaves the segment at its last good length.
TEST_F(WriterFaultTest, FailedWriteIsCutBackAndLaterAppendsChain) {
  for (const std::uint64_t size : {kDefaultSegmentSizeBytes, std::uint64_t{0}}) {
    TempDir t;
    dir = t.path();
    auto w = open_writer(dir, key, size).writer;
    append_ok(w, sample_record(0));
    const std::uint64_t good = file_len(segment_path(dir, 0));
    {
      FaultFs faults;
      faults.short_write(1, 10);
      faults.fail(FsOp::kPwrite, 2, ENOSPC);
      EXPECT_EQ(w.append(sample_record(1)).error(), io_error(ENOSPC));
    }
    EXPECT_EQ(file_len(segment_path(dir, 0)), good);
    EXPECT_EQ(append_ok(w, sample_record(1)), size == 0 ? 0u : 1u);
    append_ok(w, sample_record(2));
    w.close();
    EXPECT_EQ(ordinary_records(), 3u);
  }
}

TEST_F(WriterFaultTest, FailedCutStopsTheWriterUntilReopened) {
  auto w = open_writer(dir, key).writer;
  append_ok(w, sample_record(0));
  const std::uint64_t good = file_len(segment_path(dir, 0));
  {
    FaultFs faults;
    faults.short_write(1, 10);
    faults.fail(FsOp::kPwrite, 2, EIO);
    faults.fail(FsOp::kFtruncate, 1, EROFS);
    EXPECT_EQ(w.append(sample_record(1)).error(), io_error(EIO));
  }
  EXPECT_EQ(w.append(sample_record(1)).error(), io_error(EROFS));
  EXPECT_EQ(w.flush().error(), io_error(EROFS));
  EXPECT_EQ(file_len(segment_path(dir, 0)), good + 10);
  w.close();
  auto opened = open_writer(dir, key);
  EXPECT_EQ(opened.action, RecoveryAction::kRepaired);
  EXPECT_EQ(opened.truncated_bytes, 10u);
  EXPECT_EQ(append_ok(opened.writer, sample_record(1)), 1u);
  opened.writer.close();
  EXPECT_EQ(ordinary_records(), 2u);
}

// A failed sync is never retried and never followed by success: flush and
// append refuse until the log is reopened, which recovers it.
TEST_F(WriterFaultTest, FailedSyncStopsTheWriterUntilReopened) {
  struct Row {
    std::string name;
    std::uint64_t segment_size;
    int nth_sync;
    RecoveryAction reopened;
  };
  const std::vector<Row> rows = {
      {"flush: segment", kDefaultSegmentSizeBytes, 1, RecoveryAction::kResumed},
      {"flush: directory", kDefaultSegmentSizeBytes, 2, RecoveryAction::kResumed},
      {"rotation: old segment", 0, 1, RecoveryAction::kOpenedNextAfterFinalized},
      {"rotation: new segment", 0, 2, RecoveryAction::kOpenedNextAfterFinalized},
      {"rotation: directory", 0, 3, RecoveryAction::kResumed},
  };
  for (const Row& row : rows) {
    TempDir t;
    dir = t.path();
    auto w = open_writer(dir, key, row.segment_size).writer;
    append_ok(w, sample_record(0));
    const bool rotation = row.segment_size == 0;
    {
      FaultFs faults;
      faults.fail(FsOp::kSync, row.nth_sync, EIO);
      EXPECT_EQ(rotation ? w.append(sample_record(1)).error() : w.flush().error(), io_error(EIO)) << row.name;
    }
    const Bytes seg0 = read_file(segment_path(dir, 0));
    EXPECT_EQ(w.append(sample_record(1)).error(), io_error(EIO)) << row.name;
    EXPECT_EQ(w.flush().error(), io_error(EIO)) << row.name;
    EXPECT_EQ(read_file(segment_path(dir, 0)), seg0) << row.name;
    w.close();
    auto opened = open_writer(dir, key);
    EXPECT_EQ(opened.action, row.reopened) << row.name;
    append_ok(opened.writer, sample_record(1));
    opened.writer.close();
    EXPECT_EQ(ordinary_records(), 2u) << row.name;
  }
}

TEST_F(WriterFaultTest, FailedSegmentCreationIsRetriedWithoutFinalizingTwice) {
  auto w = open_writer(dir, key, 0).writer;
  append_ok(w, sample_record(0));
  {
    FaultFs faults;
    faults.fail(FsOp::kOpen, 1, ENOSPC, false, "audit-0001");
    EXPECT_EQ(w.append(sample_record(1)).error(), io_error(ENOSPC));
    EXPECT_EQ(w.segment_index(), 0);
    EXPECT_EQ(append_ok(w, sample_record(1)), 0u);
    EXPECT_EQ(w.segment_index(), 1);
  }
  w.close();
  EXPECT_EQ(ordinary_records(), 2u);
}

// Failures while opening: making a fresh log durable, the lock, and cutting
// a torn tail.
TEST_F(WriterFaultTest, FailuresOnOpenLeaveALogThatReopens) {
  {
    FaultFs faults;
    faults.fail(FsOp::kSync, 1, EIO);
    EXPECT_EQ(Writer::open(dir, key, test_session()).error(), io_error(EIO));
  }
  {
    auto w = open_writer(dir, key).writer;
    append_ok(w, sample_record(0));
  }
  const std::vector<std::tuple<FsOp, int, WriterError>> rows = {
      {FsOp::kFlock, EWOULDBLOCK, WriterError::locked()},
      {FsOp::kFlock, ENOLCK, io_error(ENOLCK)},
      {FsOp::kFtruncate, EIO, io_error(EIO)},
      {FsOp::kSync, EIO, io_error(EIO)},
  };
  for (const auto& [op, err, expected] : rows) {
    append_bytes(segment_path(dir, 0), Bytes(5, 0xC3));
    {
      FaultFs faults;
      faults.fail(op, 1, err);
      auto opened = Writer::open(dir, key, test_session());
      ASSERT_FALSE(opened) << err;
      EXPECT_EQ(opened.error(), expected) << err;
    }
    auto opened = open_writer(dir, key);
    EXPECT_EQ(append_ok(opened.writer, sample_record(1)), 1u) << err;
    opened.writer.close();
    truncate_to(segment_path(dir, 0), raw_frames(segment_path(dir, 0))[0].end());
  }
}

}  // namespace
}  // namespace corvane
