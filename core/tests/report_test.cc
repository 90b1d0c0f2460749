#include <gtest/gtest.h>

#include "corvane/report.h"
#include "corvane/verifier.h"

namespace corvane {
namespace {

TEST(Report, AddViolationAndCompactVerdict) {
  VerifyReport r;
  EXPECT_EQ(compact_verdict(r), "Verified");
  r.verdict = Verdict::kViolation;
  EXPECT_EQ(compact_verdict(r), "Violation");  // a verdict without a violation

  VerifyReport forensic;
  EXPECT_TRUE(forensic.add_violation(violations::header_truncated(3, "x"), true));
  EXPECT_TRUE(forensic.add_violation(violations::torn_tail(5, 99), true));
  EXPECT_EQ(forensic.verdict, Verdict::kViolation);
  EXPECT_EQ(compact_verdict(forensic), "HeaderCorrupt@s3");
  ASSERT_EQ(forensic.additional_violations.size(), 1u);
  EXPECT_EQ(forensic.additional_violations[0].location, (ViolationLocation{5, std::nullopt, 99}));

  VerifyReport first;
  EXPECT_FALSE(first.add_violation(violations::record_key_id_mismatch(0, 4, 80, "a", "b"), false));
  EXPECT_EQ(compact_verdict(first), "KeyIdMismatch@s0r4");
  EXPECT_NE(debug_string(first).find("record_key_id_hex: \"b\""), std::string::npos);
}

TEST(Report, ChainBreakNamesItsPredecessor) {
  auto evidence_of = [](const Violation& v) { return std::get<evidence::ChainBreak>(v.evidence); };
  EXPECT_EQ(evidence_of(violations::chain_break(0, 0, 80, "", "")), (evidence::ChainBreak{"", "", std::nullopt, true}));
  EXPECT_EQ(evidence_of(violations::chain_break(1, 0, 80, "", "")), (evidence::ChainBreak{"", "", 0, false}));
  EXPECT_EQ(evidence_of(violations::chain_break(0, 7, 80, "", "")), (evidence::ChainBreak{"", "", 6, false}));
  EXPECT_EQ(violations::segment_discontinuity(0, "a", "b").message,
            "Segment 0 prev_final does not match segment 0 final");
  EXPECT_EQ(violations::timestamp_regression(0, 1, 80, "t", -5, -61000, true).message,
            "ts_wall regressed -61000 ms at s0r1");
  EXPECT_EQ(std::get<evidence::TimestampRegression>(violations::timestamp_regression(0, 1, 80, "t", -5, -61000, true).evidence)
                .preceding_ts_wall,
            "(parsed: -5 ms since epoch)");
}

TEST(Report, TsWallToMilliseconds) {
  struct Case {
    const char* ts;
    std::int64_t ms;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00.000Z", 0},
      {"2024-05-01T12:00:00.000Z", 1714564800000},
      {"2000-02-29T23:59:59.999Z", 951868799999},   // leap day
      {"1969-12-31T23:59:59.999Z", -1},
      {"1600-03-01T00:00:00.000Z", -11670912000000},  // start of a 400-year era
      {"2024-05-01T12:00:00Z", 0},                  // not 24 bytes
      {"2024-05-01T12:00:00.000+0", 0},
      {"1970-01-01Txx:00:00.500Z", 500},            // an unparsable field counts as 0
      {"1970-01-01T+1:-1:00.000Z", 3600000 - 60000},  // signed fields, separators unread
      {"1970/01/02 00:00:01,002Z", 86401002},
      {"1970-13-01T00:00:00.000Z", 31536000000},     // month 13: no range check
      {"9999-12-31T23:59:59.999Z", 253402300799999},
      {"2024-05-01 12:00:00,000Z", 1714564800000},   // other separators: same value
      {"2024-05-01T12:00:00.00:Z", 1714564800000},   // ':' (just past '9'): the field is 0
      {"2024-05-01T12:00:00.\xfa" "00Z", 1714564800000},  // not a digit: the field is 0
  };
  for (const Case& c : cases) EXPECT_EQ(ts_wall_to_ms(c.ts), c.ms) << c.ts;
}

}  // namespace
}  // namespace corvane
