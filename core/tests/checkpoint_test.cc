#include <gtest/gtest.h>

#include <filesystem>

#include "corvane/verifier.h"
#include "support/log_builder.h"
#include "support/written_log.h"

namespace corvane {
namespace {

using testing::TempDir;
using testing::WrittenLog;

std::string hex(std::span<const std::uint8_t> b) { return to_hex(b); }

Checkpoint from_fields(const CheckpointFields& f, const KeyHandle& key, std::string observed_at = "t0") {
  return Checkpoint{f.segment, f.record_id, testing::mac_from_hex(f.hmac_hex), key->key_id(), std::move(observed_at)};
}

TEST(Checkpoint, TakenAndGivenBackVerifiesAndSurvivesAppends) {
  TempDir dir;
  WrittenLog log(dir.path());
  auto fields = create_checkpoint(dir.path(), log.key());
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->key_id_hex, hex(log.key()->key_id()));
  EXPECT_EQ(fields->segment, 2);
  EXPECT_EQ(fields->record_id, 1u);
  EXPECT_EQ(fields->hmac_hex, hex(log.head()));

  const VerifyOptions with{from_fields(*fields, log.key()), false};
  EXPECT_EQ(testing::verify_ok(dir.path(), log.key(), with).verdict, Verdict::kVerified);
  testing::append_records(dir.path(), log.key(), 5);  // resumes segment 2, rotates twice
  const VerifyReport later = testing::verify_ok(dir.path(), log.key(), with);
  EXPECT_EQ(later.verdict, Verdict::kVerified) << debug_string(later);
  EXPECT_EQ(later.log.last_segment_index, 4);
}

TEST(Checkpoint, RewrittenOrCutHistoryIsCaught) {
  TempDir dir;
  WrittenLog log(dir.path());
  const Checkpoint head = log.checkpoint(2, 1);
  const std::string cp_hex = hex(head.hmac);

  // Re-created from scratch with the same key: the position holds another MAC.
  TempDir again;
  WrittenLog rewritten(again.path(), log.key(), "user.audit");
  EXPECT_EQ(testing::verify_ok(again.path(), log.key(), {head, false}).violation,
            (Violation{ViolationKind::kCheckpointMismatch, {2, 1, 266},
                       evidence::CheckpointMismatch{cp_hex, hex(rewritten.head()), "t0"},
                       "Checkpoint mismatch at s2r1: record differs from the head observed at t0 \u2014 history was rewritten"}));

  // The pinned record cut off at its frame boundary: the rest is consistent.
  testing::truncate_to(log.path(2), 266);
  const VerifyReport cut = testing::verify_ok(dir.path(), log.key(), {head, false});
  EXPECT_EQ(cut.violation, (Violation{ViolationKind::kCheckpointTruncated, {2, 1, 0},
                                      evidence::CheckpointTruncated{cp_hex, "t0", 2, 9},
                                      "Checkpoint truncated: s2r1 observed at t0, is absent from this log \u2014 history was cut"}));
  EXPECT_EQ(compact_verdict(cut), "CheckpointTruncated@s2r1");
  // Forensic mode with a checkpoint and another violation: no truncation claim.
  testing::flip_byte(log.path(0), 100);
  const VerifyReport other = testing::verify_ok(dir.path(), log.key(), {head, true});
  EXPECT_EQ(compact_verdict(other), "HmacMismatch@s0r0");
  EXPECT_TRUE(other.additional_violations.empty());
}

TEST(Checkpoint, OfAnotherKeyFailsBeforeAnythingIsRead) {
  TempDir dir;
  const KeyHandle key = testing::test_key();
  Checkpoint foreign{0, 0, Mac{}, testing::test_key(7)->key_id(), ""};
  const std::string text = "checkpoint belongs to a different log: checkpoint key_id " + hex(foreign.key_id) +
                           ", log key_id " + hex(key->key_id());
  EXPECT_EQ(verify(dir.path(), key, {foreign, false}).error().to_string(), text);  // empty directory
  WrittenLog log(dir.path());
  testing::truncate_to(log.path(0), 10);
  auto error = verify(dir.path(), key, {foreign, true});
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error().kind, VerifyError::Kind::kCheckpointKeyMismatch);
  EXPECT_EQ(error.error().to_string(), text);
}

TEST(Checkpoint, LogWithoutItsFirstSegments) {
  TempDir dir;
  WrittenLog log(dir.path());
  std::filesystem::remove(log.path(0));
  // Still verifies, and its head is still found, though a cursor from
  // segment 0 would see nothing.
  const VerifyReport report = testing::verify_ok(dir.path(), log.key());
  EXPECT_EQ(report.verdict, Verdict::kVerified);
  EXPECT_EQ(report.log.first_segment_index, 1);
  auto fields = create_checkpoint(dir.path(), log.key());
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->segment, 2);
  EXPECT_EQ(fields->record_id, 1u);
  // Unless a checkpoint pins a record in the removed segment.
  EXPECT_EQ(compact_verdict(testing::verify_ok(dir.path(), log.key(), {log.checkpoint(0, 1), false})),
            "CheckpointTruncated@s0r1");
}

TEST(Checkpoint, RefusalsSayWhy) {
  const KeyHandle key = testing::test_key();
  TempDir empty;
  EXPECT_EQ(create_checkpoint(empty.path(), key).error().kind, CheckpointError::Kind::kEmpty);

  auto missing = create_checkpoint(empty / "none", key);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, CheckpointError::Kind::kVerify);
  EXPECT_EQ(missing.error().verify.kind, VerifyError::Kind::kOpenLogDirectory);

  TempDir damaged;
  WrittenLog log(damaged.path());
  testing::flip_byte(log.path(1), 0);
  auto refused = create_checkpoint(damaged.path(), key);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, CheckpointError::Kind::kNotVerified);
  EXPECT_EQ(refused.error().message, "Segment 1 bad magic: [66, 86, 65, 85]");

  // A last segment without records (opened after a finalized one).
  TempDir fresh;
  testing::build_log(fresh.path(), key, {2, 0});
  auto none = create_checkpoint(fresh.path(), key);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind, CheckpointError::Kind::kNoRecords);
  EXPECT_EQ(none.error().segment, 1);
}

// Every bit flip of the same log: damage_test.cc.
TEST(VerifyProperties, AnyCutOfTheLastSegmentIsCaughtByACheckpoint) {
  TempDir dir;
  WrittenLog log(dir.path());
  const Checkpoint head = log.checkpoint(2, 1);
  const Bytes original = testing::read_file(log.path(2));
  for (std::size_t len = 0; len < original.size(); ++len) {
    testing::write_file(log.path(2), Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(len)));
    auto report = verify(dir.path(), log.key(), {head, false});
    ASSERT_TRUE(report) << "cut at " << len;
    ASSERT_EQ(report->verdict, Verdict::kViolation) << "cut at " << len;
  }
}

}  // namespace
}  // namespace corvane
