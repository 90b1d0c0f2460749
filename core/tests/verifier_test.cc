#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "support/hook_fs.h"
#include "support/log_builder.h"
#include "support/written_log.h"

namespace corvane {
namespace {

using testing::TempDir;
using testing::WrittenLog;

std::string hex(std::span<const std::uint8_t> b) { return to_hex(b); }

void remove_range(const std::string& path, std::uint64_t from, std::uint64_t to) {
  Bytes data = testing::read_file(path);
  data.erase(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(to));
  testing::write_file(path, data);
}

void set_byte(const std::string& path, std::uint64_t at, std::uint8_t value) {
  Bytes data = testing::read_file(path);
  data.at(at) = value;
  testing::write_file(path, data);
}

TEST(Verify, IntactLogSummary) {
  TempDir dir;
  WrittenLog log(dir.path());
  const VerifyReport report = testing::verify_ok(dir.path(), log.key());
  VerifyReport expected;
  expected.log = LogSummary{dir.path(), hex(log.key()->key_id()), 3, 10, 0, 2, hex(log.head())};
  EXPECT_EQ(report, expected) << debug_string(report);
  EXPECT_EQ(compact_verdict(report), "Verified");
}

TEST(Verify, EmptyMissingAndUnreadableLogs) {
  TempDir dir;
  VerifyReport empty;
  empty.log.log_dir = dir.path();
  empty.log.key_id_hex = hex(testing::test_key()->key_id());
  EXPECT_EQ(testing::verify_ok(dir.path(), testing::test_key()), empty);

  EXPECT_EQ(verify(dir / "none", testing::test_key()).error().to_string(),
            "open log directory: I/O error: No such file or directory (os error 2)");
}

TEST(Verify, FrameReadFailureIsAnErrorNotAViolation) {
  TempDir dir;
  WrittenLog log(dir.path());
  testing::HookFs fs;
  fs.fail_pread = [](off_t offset) { return offset >= static_cast<off_t>(kHeaderLen); };
  EXPECT_EQ(verify(dir.path(), log.key()).error().to_string(),
            "reader I/O: I/O error: Input/output error (os error 5)");
}

// Damage done to files the writer wrote, and the one violation it must give:
// kind, location, evidence and message, all compared at once.
TEST(Verify, EachDamageGivesItsViolation) {
  struct Case {
    const char* name;
    std::function<Violation(const WrittenLog&)> damage;  // damages the log, returns what verify must say
    KeyHandle key = testing::test_key();
  };
  using V = ViolationKind;
  namespace ev = evidence;
  const KeyHandle other = testing::test_key(0x43);
  const std::vector<Case> cases = {
      {"flipped record byte",
       [](const WrittenLog& log) {
         const auto& f = log.frames(1)[1];
         testing::flip_byte(log.path(1), f.offset + 24);
         Bytes damaged = f.record;
         damaged[20] ^= 1;
         return Violation{V::kHmacMismatch, {1, 1, 266}, ev::HmacMismatch{hex(log.key()->mac(damaged)), hex(f.mac), 146, 270},
                          "HMAC mismatch at s1r1: stored hmac does not match HMAC over payload bytes"};
       }},
      {"flipped mac byte",
       [](const WrittenLog& log) {
         const auto& f = log.frames(2)[0];
         testing::flip_byte(log.path(2), f.offset + 4 + 146 + 31, 0x80);
         Mac stored = f.mac;
         stored[31] ^= 0x80;
         return Violation{V::kHmacMismatch, {2, 0, 80}, ev::HmacMismatch{hex(f.mac), hex(stored), 146, 84},
                          "HMAC mismatch at s2r0: stored hmac does not match HMAC over payload bytes"};
       }},
      {"deleted middle frame",
       [](const WrittenLog& log) {
         const auto& f = log.frames(0);
         remove_range(log.path(0), f[1].offset, f[1].end());
         return Violation{V::kChainBreak, {0, 2, 266}, ev::ChainBreak{hex(f[0].mac), hex(f[1].mac), 1, false},
                          "Chain break at s0r2: stored prev_hash does not equal the preceding HMAC"};
       }},
      {"swapped frames",
       [](const WrittenLog& log) {
         const auto& f = log.frames(1);
         Bytes data = testing::read_file(log.path(1));
         std::swap_ranges(data.begin() + 266, data.begin() + 452, data.begin() + 452);
         testing::write_file(log.path(1), data);
         return Violation{V::kChainBreak, {1, 2, 266}, ev::ChainBreak{hex(f[0].mac), hex(f[1].mac), 1, false},
                          "Chain break at s1r2: stored prev_hash does not equal the preceding HMAC"};
       }},
      {"torn tail",
       [](const WrittenLog& log) {
         testing::truncate_to(log.path(2), 266 + 100);
         return Violation{V::kRecordCorrupt, {2, std::nullopt, 266}, ev::RecordCorrupt{ev::TornTail{}},
                          "Torn tail at segment 2 offset 266 (partial write \u2014 recoverable by R5)"};
       }},
      {"damaged trailing length",
       [](const WrittenLog& log) {
         testing::flip_byte(log.path(1), log.frames(1)[1].end() - 4);
         return Violation{V::kRecordCorrupt, {1, std::nullopt, 266}, ev::RecordCorrupt{ev::TornTail{}},
                          "Torn tail at segment 1 offset 266 (partial write \u2014 recoverable by R5)"};
       }},
      {"removed middle segment",
       [](const WrittenLog& log) {
         std::filesystem::remove(log.path(1));
         const std::string s0 = hex(log.frames(0)[3].mac);
         return Violation{V::kSegmentDiscontinuity, {2, std::nullopt, 40},
                          ev::SegmentDiscontinuity{s0, hex(log.frames(1)[3].mac), 1, s0},
                          "Segment 2 prev_final does not match segment 1 final"};
       }},
      {"bad magic",
       [](const WrittenLog& log) {
         testing::flip_byte(log.path(1), 0);
         return Violation{V::kHeaderCorrupt, {1, std::nullopt, 0}, ev::HeaderCorrupt{ev::BadMagic{"42564155"}},
                          "Segment 1 bad magic: [66, 86, 65, 85]"};
       }},
      {"version 2",
       [](const WrittenLog& log) {
         set_byte(log.path(1), 4, 2);
         return Violation{V::kUnknownVersion, {1, std::nullopt, 4}, ev::UnknownVersion{2, {1}},
                          "Segment 1 declares version 2; supported 1"};
       }},
      {"bad crc",
       [](const WrittenLog& log) {
         const std::uint32_t crc = load_u32le(testing::read_file(log.path(2)).data() + 72);
         testing::flip_byte(log.path(2), 75, 0x10);
         char text[96];
         std::snprintf(text, sizeof text, "Segment 2 header CRC mismatch: stored 0x%08x, computed 0x%08x",
                       crc ^ 0x10000000u, crc);
         return Violation{V::kHeaderCorrupt, {2, std::nullopt, 72},
                          ev::HeaderCorrupt{ev::CrcMismatch{crc, crc ^ 0x10000000u}}, text};
       }},
      {"reserved bytes",
       [](const WrittenLog& log) {
         set_byte(log.path(0), 77, 5);
         return Violation{V::kHeaderCorrupt, {0, std::nullopt, 76}, ev::HeaderCorrupt{ev::ReservedBytesNonZero{"00050000"}},
                          "Segment 0 reserved header bytes [76..80] are not zero: [0, 5, 0, 0]"};
       }},
      {"short header",
       [](const WrittenLog& log) {
         testing::truncate_to(log.path(2), 79);
         return Violation{V::kHeaderCorrupt, {2, std::nullopt, 0}, ev::HeaderCorrupt{ev::Truncated{"failed to fill whole buffer"}},
                          "Segment 2 header unreadable: failed to fill whole buffer"};
       }},
      {"segment is a directory",
       [](const WrittenLog& log) {
         std::filesystem::remove(log.path(2));
         std::filesystem::create_directory(log.path(2));
         return Violation{V::kHeaderCorrupt, {2, std::nullopt, 0}, ev::HeaderCorrupt{ev::Truncated{"Is a directory (os error 21)"}},
                          "Segment 2 header unreadable: Is a directory (os error 21)"};
       }},
      {"foreign key",
       [other](const WrittenLog& log) {
         return Violation{V::kKeyIdMismatch, {0, std::nullopt, 8},
                          ev::KeyIdMismatch{hex(log.key()->key_id()), hex(other->key_id())},
                          "Segment 0 header key_id does not match verifier's key"};
       },
       other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WrittenLog log(dir.path());
    const Violation expected = c.damage(log);
    const VerifyReport report = testing::verify_ok(dir.path(), c.key);
    ASSERT_TRUE(report.violation) << debug_string(report);
    EXPECT_EQ(*report.violation, expected);
    EXPECT_EQ(report.verdict, Verdict::kViolation);
    EXPECT_TRUE(report.additional_violations.empty());
    EXPECT_FALSE(report.log.final_hmac_hex);
  }
}

// Records the writer never writes, MACed under the log's key so that they
// reach the checks behind the MAC. Each follows one ordinary record (s0r0).
TEST(Verify, AuthenticatedOddRecords) {
  using testing::cbor_bytes;
  using testing::cbor_text;
  using testing::RecordEntries;
  struct Case {
    const char* name;
    std::function<Bytes(RecordEntries)> make;
    std::function<std::optional<Violation>(std::uint64_t offset, const RecordEntries& normal)> expect;
  };
  using V = ViolationKind;
  namespace ev = evidence;
  const KeyId foreign = testing::test_key(0x99)->key_id();
  const KeyId ours = testing::test_key()->key_id();
  auto with = [](std::size_t key, Bytes value) {
    return [key, value](RecordEntries e) {
      e[key - 1].second = value;
      return encode_uint_keyed_map(e);
    };
  };
  auto prev_of = [](const RecordEntries& e) { return hex(std::span(e[1].second).subspan(2)); };
  const std::string zeros(64, '0');
  const std::vector<Case> cases = {
      {"foreign key_id", with(9, cbor_bytes(foreign)),
       [&](std::uint64_t o, const RecordEntries&) {
         return Violation{V::kKeyIdMismatch, {0, 1, o}, ev::KeyIdMismatch{hex(ours), hex(foreign)},
                          "Record s0r1 key_id does not match segment header key_id"};
       }},
      {"foreign prev_hash", with(2, cbor_bytes(Bytes(32, 9))),
       [&](std::uint64_t o, const RecordEntries& e) {
         return Violation{V::kChainBreak, {0, 1, o}, ev::ChainBreak{prev_of(e), hex(Bytes(32, 9)), 0, false},
                          "Chain break at s0r1: stored prev_hash does not equal the preceding HMAC"};
       }},
      {"text prev_hash is the zero hash", with(2, cbor_text("x")),
       [&](std::uint64_t o, const RecordEntries& e) {
         return Violation{V::kChainBreak, {0, 1, o}, ev::ChainBreak{prev_of(e), zeros, 0, false},
                          "Chain break at s0r1: stored prev_hash does not equal the preceding HMAC"};
       }},
      {"text record_id defaults to 0", with(1, cbor_text("1")),
       [&](std::uint64_t, const RecordEntries&) { return std::nullopt; }},
      {"trailing byte",
       [](RecordEntries e) {
         Bytes b = encode_uint_keyed_map(e);
         b.push_back(0);
         return b;
       },
       [&](std::uint64_t o, const RecordEntries& e) {
         const std::string m = "CBOR trailing bytes at offset " + std::to_string(encode_uint_keyed_map(e).size()) +
                               ": 1 bytes unconsumed";
         return Violation{V::kRecordCorrupt, {0, 1, o}, ev::RecordCorrupt{ev::DecodeError{m}}, m};
       }},
      {"nine entries",
       [](RecordEntries e) {
         e.pop_back();
         return encode_uint_keyed_map(e);
       },
       [&](std::uint64_t o, const RecordEntries&) {
         const std::string m = "record map has 9 entries (expected 10)";
         return Violation{V::kRecordCorrupt, {0, 1, o}, ev::RecordCorrupt{ev::DecodeError{m}}, m};
       }},
      {"text key",
       [](RecordEntries e) {
         e.pop_back();
         Bytes b = encode_uint_keyed_map(e);
         b[0] = 0xaa;
         const Bytes key = cbor_text("k");
         b.insert(b.end(), key.begin(), key.end());
         b.push_back(0);
         return b;
       },
       [&](std::uint64_t o, const RecordEntries&) {
         const std::string m = "record map key not a uint";
         return Violation{V::kRecordCorrupt, {0, 1, o}, ev::RecordCorrupt{ev::DecodeError{m}}, m};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    testing::LogBuilder log(dir.path(), testing::test_key());
    log.begin_segment().append();
    const RecordEntries normal = log.next_entries();
    const std::uint64_t offset = log.append_record_bytes(c.make(normal));
    log.append();  // an intact record after it, chained to the odd one
    const VerifyReport report = testing::verify_ok(dir.path(), testing::test_key());
    EXPECT_EQ(report.violation, c.expect(offset, normal)) << debug_string(report);
  }
}

TEST(Verify, TimestampsMayStepBackAMinuteAndNoMore) {
  TempDir dir;
  testing::LogBuilder log(dir.path(), testing::test_key());
  log.begin_segment();
  log.append("a", "2024-05-01T12:01:00.000Z");
  log.append("b", "2024-05-01T12:00:00.000Z");  // 60 000 ms back: accepted, and the new reference
  EXPECT_EQ(testing::verify_ok(dir.path(), testing::test_key()).verdict, Verdict::kVerified);
  const std::uint64_t at = log.append("c", "2024-05-01T11:58:59.999Z");
  const VerifyReport report = testing::verify_ok(dir.path(), testing::test_key());
  EXPECT_EQ(report.violation,
            (Violation{ViolationKind::kTimestampRegression, {0, 2, at},
                       evidence::TimestampRegression{"2024-05-01T11:58:59.999Z", "(parsed: 1714564800000 ms since epoch)",
                                                     -60001, false},
                       "ts_wall regressed -60001 ms at s0r2"}));

  // Another session's record, more than a minute back, across a segment.
  TempDir other;
  testing::LogBuilder two(other.path(), testing::test_key());
  two.begin_segment().append("a", "2024-05-01T12:00:00.000Z");
  two.finalize().begin_segment();
  testing::RecordEntries e = two.next_entries("b", "2024-05-01T11:00:00.000Z");
  e[4].second = testing::cbor_bytes(testing::test_session(0x22));
  two.append_entries(e);
  const VerifyReport across = testing::verify_ok(other.path(), testing::test_key());
  ASSERT_TRUE(across.violation);
  const auto& regression = std::get<evidence::TimestampRegression>(across.violation->evidence);
  EXPECT_TRUE(regression.across_sessions);
  EXPECT_EQ(regression.delta_ms, -3600001);  // from the finalization record, 1 ms after "a"
  EXPECT_EQ(compact_verdict(across), "TimestampRegression@s1r0");
}

TEST(Verify, ForensicModeReportsEveryDamagedSegment) {
  TempDir dir;
  WrittenLog log(dir.path());
  testing::flip_byte(log.path(0), log.frames(0)[1].offset + 30);
  testing::flip_byte(log.path(2), log.frames(2)[0].offset + 30);

  const VerifyReport first = testing::verify_ok(dir.path(), log.key());
  ASSERT_TRUE(first.violation);
  EXPECT_EQ(compact_verdict(first), "HmacMismatch@s0r1");
  EXPECT_EQ(first.log.records_inspected, 2u);
  EXPECT_EQ(first.log.last_segment_index, 0);
  EXPECT_FALSE(first.log.final_hmac_hex);

  // Segment 0 never becomes the previous final, so segment 1's prev_final is
  // not compared; segment 1 is walked whole and its head is the final one.
  const VerifyReport all = testing::verify_ok(dir.path(), log.key(), {std::nullopt, true});
  EXPECT_EQ(all.violation, first.violation);
  ASSERT_EQ(all.additional_violations.size(), 1u);
  EXPECT_EQ(all.additional_violations[0].message,
            "HMAC mismatch at s2r0: stored hmac does not match HMAC over payload bytes");
  EXPECT_EQ(all.log.records_inspected, 2u + 4u + 1u);
  EXPECT_EQ(all.log.segments_inspected, 3u);
  EXPECT_EQ(all.log.final_hmac_hex, hex(log.frames(1)[3].mac));
}

TEST(Verify, ForensicModeComparesWithTheLastSegmentWalkedWhole) {
  TempDir dir;
  WrittenLog log(dir.path());
  set_byte(log.path(1), 4, 9);  // segment 1 is skipped
  const VerifyReport report = testing::verify_ok(dir.path(), log.key(), {std::nullopt, true});
  ASSERT_TRUE(report.violation);
  EXPECT_EQ(compact_verdict(report), "UnknownVersion@s1");
  ASSERT_EQ(report.additional_violations.size(), 1u);
  const Violation& next = report.additional_violations[0];
  EXPECT_EQ(next.message, "Segment 2 prev_final does not match segment 1 final");
  EXPECT_EQ(std::get<evidence::SegmentDiscontinuity>(next.evidence).expected_prev_final_hex, hex(log.frames(0)[3].mac));
  EXPECT_EQ(report.log.final_hmac_hex, hex(log.frames(0)[3].mac));
  EXPECT_EQ(report.log.records_inspected, 4u);
}

}  // namespace
}  // namespace corvane
