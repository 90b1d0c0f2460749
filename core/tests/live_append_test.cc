// Reading and verifying a log while a writer in the same process appends.
#include <gtest/gtest.h>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support/hook_fs.h"
#include "support/test_util.h"

namespace corvane {
namespace {

using testing::TempDir;

AppendRecord record(int i) {
  AppendRecord r;
  r.ts_wall = "2024-05-01T12:00:00.000Z";
  r.actor = "alice";
  r.event = "user.login";
  r.payload.insert_or_assign("i", PayloadValue::uint(static_cast<std::uint64_t>(i)));
  return r;
}

Writer open_writer(const std::string& dir) {
  auto opened = Writer::open(dir, testing::test_key(), testing::test_session());
  if (!opened) throw std::runtime_error(opened.error().to_string());
  return std::move(opened->writer);
}

TEST(LiveAppend, CursorSeesNewFramesAndAnIncompleteOneAsATornTail) {
  TempDir dir;
  Writer writer = open_writer(dir.path());
  ASSERT_TRUE(writer.append(record(0)));
  auto cursor = RecordCursor::open(dir.path());
  ASSERT_TRUE(cursor);
  EXPECT_EQ(cursor->next().value()->record_id, 0u);
  EXPECT_FALSE(cursor->next().value());
  ASSERT_TRUE(writer.append(record(1)));
  ASSERT_TRUE(writer.append(record(2)));
  EXPECT_EQ(cursor->next().value()->record_id, 1u);
  EXPECT_EQ(cursor->next().value()->record_id, 2u);
  EXPECT_FALSE(cursor->next().value());

  // A frame the writer has only begun to write.
  const std::string path = segment_path(dir.path(), 0);
  const std::uint64_t end = testing::file_len(path);
  const Bytes frame = testing::read_file(path);
  testing::append_bytes(path, Bytes(frame.begin() + kHeaderLen, frame.begin() + kHeaderLen + 50));
  const std::string torn = "torn tail in segment 0 at offset " + std::to_string(end) + "; partial write";
  EXPECT_EQ(cursor->next().error().to_string(), torn);
  const VerifyReport report = verify(dir.path(), testing::test_key()).value();
  ASSERT_TRUE(report.violation);
  EXPECT_EQ(report.violation->message,
            "Torn tail at segment 0 offset " + std::to_string(end) + " (partial write \u2014 recoverable by R5)");
}

TEST(LiveAppend, VerificationWalksFramesAppendedDuringItsWalk) {
  TempDir dir;
  Writer writer = open_writer(dir.path());
  ASSERT_TRUE(writer.append(record(0)));
  ASSERT_TRUE(writer.append(record(1)));
  // The first size query opens the walk of segment 0; the second comes when
  // the walk reaches the end it knew, and the writer appends just then.
  VerifyReport report;
  {
    testing::HookFs fs;
    fs.on_fsize = [&](int call) {
      if (call == 2) {
        ASSERT_TRUE(writer.append(record(2)));
      }
    };
    report = verify(dir.path(), testing::test_key()).value();
  }
  EXPECT_EQ(report.verdict, Verdict::kVerified);
  EXPECT_EQ(report.log.records_inspected, 3u);
  EXPECT_EQ(report.log.final_hmac_hex, to_hex(writer.chain_head()));
}

}  // namespace
}  // namespace corvane
