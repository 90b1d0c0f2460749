// The verifier, checkpoints and the report: each finding with its location,
// evidence and message, on logs written by the writer or built record by record.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support/fault_fs.h"
#include "support/written_log.h"
#include "writer/writer_probe.h"

namespace corvane {
namespace {

using namespace corvane::testing;
using V = ViolationKind;
namespace ev = evidence;
namespace stdfs = std::filesystem;

const auto hex = [](std::span<const std::uint8_t> b) { return to_hex(b); };
std::string verdict(const std::string& dir, const KeyHandle& key, const VerifyOptions& options = {}) {
  return compact_verdict(verify_ok(dir, key, options));
}

void edit(const std::string& path, const std::function<void(Bytes&)>& change) {
  Bytes data = read_file(path);
  change(data);
  write_file(path, data);
}

TEST(Verify, IntactEmptyAndMissingLogs) {
  TempDir dir;
  VerifyReport expected;
  expected.log = LogSummary{dir.path(), hex(test_key()->key_id()), 0, 0, {}, {}, {}};
  EXPECT_EQ(verify_ok(dir.path(), test_key()), expected);
  EXPECT_EQ(verify(dir / "none", test_key()).error().to_string(),
            "verifier could not open log: open log directory: I/O error: No such file or directory (os error 2)");
  WrittenLog log(dir.path());
  expected.log = LogSummary{dir.path(), hex(test_key()->key_id()), 3, 10, 0, 2, hex(log.head())};
  EXPECT_EQ(verify_ok(dir.path(), test_key()), expected);
}

// The system refusing to open or read a segment (permissions, descriptors
// exhausted, a failing disk) says nothing about the log: an error, never a
// violation that would call the log tampered.
TEST(Verify, SegmentTheSystemWillNotOpenOrReadIsAnError) {
  TempDir dir;
  WrittenLog log(dir.path());
  const struct { FsOp op; int nth; int err; const char* text; } rows[] = {
      {FsOp::kOpen, 3, EMFILE, "Too many open files (os error 24)"},  // segment 2
      {FsOp::kPread, 2, EIO, "Input/output error (os error 5)"},      // segment 0's frames
  };
  for (const auto& r : rows) {
    FaultFs fs;
    fs.add({.op = r.op, .nth = r.nth, .err = r.err});
    auto got = verify(dir.path(), log.key());
    ASSERT_FALSE(got) << debug_string(*got);
    EXPECT_EQ(std::tuple(got.error().kind, got.error().to_string()),
              std::tuple(VerifyError::Kind::kReaderIo, std::string("verifier could not open log: reader I/O: I/O error: ") + r.text));
  }
}

// Damage done to files the writer wrote, and the one violation it must give
// (where each flipped byte is reported is the damage tests' concern).
TEST(Verify, EachDamageGivesItsViolation) {
  TempDir ref_dir;
  const WrittenLog ref(ref_dir.path());  // every log is written byte for byte alike
  auto mac = [&](int s, int i) { return hex(ref.frames(s)[i].mac); };
  const std::string flipped_mac = [&] { Bytes r = ref.frames(1)[1].record; r[20] ^= 1; return hex(ref.key()->mac(r)); }();
  const Violation torn{V::kRecordCorrupt, {2, std::nullopt, 266}, ev::RecordCorrupt{ev::TornTail{}},
                       "Torn tail at segment 2 offset 266 (partial write \u2014 recoverable by R5)"};
  const auto unreadable = [](std::uint16_t s, const char* why) {
    return Violation{V::kHeaderCorrupt, {s, std::nullopt, 0}, ev::HeaderCorrupt{ev::Truncated{why}},
                     "Segment " + std::to_string(s) + " header unreadable: " + why};
  };
  const struct { const char* name; std::function<void(const WrittenLog&)> damage; Violation want; KeyHandle key = test_key(); } cases[] = {
      {"flipped record byte", [](auto& log) { flip_byte(log.path(1), 266 + 24); },
       {V::kHmacMismatch, {1, 1, 266}, ev::HmacMismatch{flipped_mac, mac(1, 1), 146, 270},
        "HMAC mismatch at s1r1: stored hmac does not match HMAC over payload bytes"}},
      {"deleted middle frame", [](auto& log) { edit(log.path(0), [](Bytes& d) { d.erase(d.begin() + 266, d.begin() + 452); }); },
       {V::kChainBreak, {0, 2, 266}, ev::ChainBreak{mac(0, 0), mac(0, 1), 1, false},
        "Chain break at s0r2: stored prev_hash does not equal the preceding HMAC"}},
      {"torn tail", [](auto& log) { truncate_to(log.path(2), 266 + 100); }, torn},
      {"length no writer makes, in a sparse file that seems to hold it", [](auto& log) {
         edit(log.path(2), [](Bytes& d) { store_u32le(d.data() + 266, 0xFFFFFF00u); });
         truncate_to(log.path(2), 266 + 0xFFFFFF00ull + 40);
       }, torn},
      {"removed middle segment", [](auto& log) { stdfs::remove(log.path(1)); },
       {V::kSegmentDiscontinuity, {2, std::nullopt, 40}, ev::SegmentDiscontinuity{mac(0, 3), mac(1, 3), 1, mac(0, 3)},
        "Segment 2 prev_final does not match segment 1 final"}},
      {"bad magic", [](auto& log) { flip_byte(log.path(1), 0); },
       {V::kHeaderCorrupt, {1, std::nullopt, 0}, ev::HeaderCorrupt{ev::BadMagic{"42564155"}}, "Segment 1 bad magic: [66, 86, 65, 85]"}},
      {"version 2", [](auto& log) { edit(log.path(1), [](Bytes& d) { d[4] = 2; }); },
       {V::kUnknownVersion, {1, std::nullopt, 4}, ev::UnknownVersion{2, {1}}, "Segment 1 declares version 2; supported 1"}},
      {"bad crc", [](auto& log) { flip_byte(log.path(2), 75, 0x10); },
       {V::kHeaderCorrupt, {2, std::nullopt, 72}, ev::HeaderCorrupt{ev::CrcMismatch{0xc0ad4be6, 0xd0ad4be6}},
        "Segment 2 header CRC mismatch: stored 0xd0ad4be6, computed 0xc0ad4be6"}},
      {"reserved bytes", [](auto& log) { edit(log.path(0), [](Bytes& d) { d[77] = 5; }); },
       {V::kHeaderCorrupt, {0, std::nullopt, 76}, ev::HeaderCorrupt{ev::ReservedBytesNonZero{"00050000"}},
        "Segment 0 reserved header bytes [76..80] are not zero: [0, 5, 0, 0]"}},
      {"short header", [](auto& log) { truncate_to(log.path(2), 79); }, unreadable(2, "failed to fill whole buffer")},
      {"segment is a link to an intact copy", [](auto& log) {
         stdfs::rename(log.path(1), log.path(1) + ".copy");
         stdfs::create_symlink(log.path(1) + ".copy", log.path(1));
       }, unreadable(1, "not a regular file")},
      {"foreign key", [](auto&) {},
       {V::kKeyIdMismatch, {0, std::nullopt, 8}, ev::KeyIdMismatch{hex(ref.key()->key_id()), hex(test_key(0x43)->key_id())},
        "Segment 0 header key_id does not match verifier's key"}, test_key(0x43)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.damage(WrittenLog(dir.path()));
    const VerifyReport report = verify_ok(dir.path(), c.key);
    EXPECT_EQ(std::tie(report.violation, report.verdict, report.log.final_hmac_hex, report.additional_violations),
              std::tuple(c.want, Verdict::kViolation, std::nullopt, std::vector<Violation>{})) << debug_string(report);
  }
}

TEST(Verify, TimestampsMayStepBackAMinuteAndNoMore) {
  TempDir dir;
  LogBuilder log(dir.path(), test_key());
  log.begin_segment().append("a", "2024-05-01T12:01:00.000Z");
  log.append("b", "2024-05-01T12:00:00.000Z");  // 60 000 ms back: accepted, and the new reference
  EXPECT_EQ(verdict(dir.path(), test_key()), "Verified");
  const std::uint64_t at = log.append("c", "2024-05-01T11:58:59.999Z");
  EXPECT_EQ(verify_ok(dir.path(), test_key()).violation,
            (Violation{V::kTimestampRegression, {0, 2, at},
                       ev::TimestampRegression{"2024-05-01T11:58:59.999Z", "(parsed: 1714564800000 ms since epoch)", -60001, false},
                       "ts_wall regressed -60001 ms at s0r2"}));

  // Another session's record, more than a minute back, across a segment;
  // held against the finalization record, 1 ms after "a".
  TempDir other;
  LogBuilder two(other.path(), test_key());
  two.begin_segment().append("a", "2024-05-01T12:00:00.000Z");
  two.finalize().begin_segment();
  two.append_record_bytes(with_entry(two.next_entries("b", "2024-05-01T11:00:00.000Z"), 5, cbor_bytes(test_session(0x22))));
  const VerifyReport across = verify_ok(other.path(), test_key());
  ASSERT_EQ(compact_verdict(across), "TimestampRegression@s1r0");
  const auto& regression = std::get<ev::TimestampRegression>(across.violation->evidence);
  EXPECT_EQ(std::tie(regression.across_sessions, regression.delta_ms), std::tuple(true, -3600001));
}

// A record MACed under the log's key that names another key.
TEST(Verify, RecordOfAnotherKeyIdIsReported) {
  TempDir dir;
  LogBuilder log(dir.path(), test_key());
  log.begin_segment().append();
  const KeyId foreign = test_key(0x99)->key_id();
  const std::uint64_t at = log.append_record_bytes(with_entry(log.next_entries(), 9, cbor_bytes(foreign)));
  EXPECT_EQ(verify_ok(dir.path(), test_key()).violation,
            (Violation{V::kKeyIdMismatch, {0, 1, at}, ev::KeyIdMismatch{hex(test_key()->key_id()), hex(foreign)},
                       "Record s0r1 key_id does not match segment header key_id"}));
}

// Forensic mode goes on past a damaged segment, which never becomes the
// previous final: the next is compared with the last one walked whole.
TEST(Verify, ForensicModeComparesWithTheLastSegmentWalkedWhole) {
  TempDir dir;
  WrittenLog log(dir.path());
  flip_byte(log.path(1), 4, 8);  // version 9
  const VerifyReport skipped = verify_ok(dir.path(), log.key(), {std::nullopt, true});
  ASSERT_EQ(skipped.additional_violations.size(), 1u);
  const Violation& next = skipped.additional_violations[0];
  const std::string head0 = hex(log.frames(0)[3].mac);
  EXPECT_EQ(std::tuple(compact_verdict(skipped), next.message, std::get<ev::SegmentDiscontinuity>(next.evidence).expected_prev_final_hex,
                       skipped.log.final_hmac_hex, skipped.log.records_inspected),
            std::tuple("UnknownVersion@s1", "Segment 2 prev_final does not match segment 1 final", head0, head0, 4u));
}

TEST(Verify, WalksFramesAppendedDuringItsWalk) {
  TempDir dir;
  auto opened = Writer::open(dir.path(), test_key(), test_session());
  const AppendRecord r{kTestTs, "alice", "user.login", 0, {}, 1};
  ASSERT_TRUE(opened && opened->writer.append(r) && opened->writer.append(r));
  // The first size query opens the walk of segment 0; the second comes when
  // the walk reaches the end it knew, and the writer appends just then.
  VerifyReport report;
  {
    FaultFs fs;
    fs.on_fsize = [&](int call) { EXPECT_TRUE(call != 2 || opened->writer.append(r)); };
    report = verify(dir.path(), test_key()).value();
  }
  EXPECT_EQ(std::tie(report.verdict, report.log.records_inspected, report.log.final_hmac_hex),
            std::tuple(Verdict::kVerified, 3u, to_hex(detail::WriterProbe::chain_head(opened->writer))));
}

// A listing that races with a rotation can miss the segment being renamed
// into place and still show the next one. Played here by taking segment 1
// away during the first listing only; a hole that stays is believed.
TEST(Verify, HoleOnlyInOneListingIsListedAgainAndWalked) {
  TempDir dir;
  WrittenLog log(dir.path());
  const std::string hidden = log.path(1) + ".renaming";
  for (const bool comes_back : {true, false}) {
    SCOPED_TRACE(comes_back);
    FaultFs fs;
    fs.before = [&](FsOp op) {
      if (op != FsOp::kListDir) return;
      if (fs.calls(op) == 0) stdfs::rename(log.path(1), hidden);
      if (fs.calls(op) == 1 && comes_back) stdfs::rename(hidden, log.path(1));
    };
    const VerifyReport report = verify_ok(dir.path(), log.key());
    EXPECT_EQ(std::tuple(fs.calls(FsOp::kListDir), compact_verdict(report), report.log.segments_inspected),
              std::tuple(2, comes_back ? "Verified" : "SegmentDiscontinuity@s2", comes_back ? 3u : 2u));
  }
}

TEST(Checkpoint, TakenAndGivenBackVerifiesAfterAppendsAndWithoutTheFirstSegment) {
  TempDir dir;
  WrittenLog log(dir.path());
  const auto fields = create_checkpoint(dir.path(), log.key()).value();
  EXPECT_EQ(std::tie(fields.key_id_hex, fields.segment, fields.record_id, fields.hmac_hex),
            std::tuple(hex(log.key()->key_id()), 2, 1u, hex(log.head())));
  const VerifyOptions with{log.checkpoint(2, 1), false};
  EXPECT_EQ(verdict(dir.path(), log.key(), with), "Verified");
  append_records(dir.path(), log.key(), 5);  // resumes segment 2, rotates twice
  EXPECT_EQ(verdict(dir.path(), log.key(), with), "Verified");
  // Without segment 0 its head is still found, though a cursor from segment 0
  // would see nothing.
  stdfs::remove(log.path(0));
  EXPECT_EQ(verify_ok(dir.path(), log.key()).log.first_segment_index, 1);
  EXPECT_EQ(create_checkpoint(dir.path(), log.key()).value().hmac_hex, hex(raw_frames(log.path(4)).back().mac));
}

TEST(Checkpoint, RewrittenOrCutHistoryIsCaught) {
  TempDir dir, again;
  WrittenLog log(dir.path());
  const Checkpoint head = log.checkpoint(2, 1);
  const std::string cp_hex = hex(head.hmac);
  // Re-created from scratch with the same key: the position holds another MAC.
  WrittenLog rewritten(again.path(), log.key(), "user.audit");
  EXPECT_EQ(verify_ok(again.path(), log.key(), {head, false}).violation,
            (Violation{V::kCheckpointMismatch, {2, 1, 266}, ev::CheckpointMismatch{cp_hex, hex(rewritten.head()), "t0"},
                       "Checkpoint mismatch at s2r1: record differs from the head observed at t0 \u2014 history was rewritten"}));

  // Any cut of the last segment is caught; one at a frame boundary leaves
  // the rest consistent, so the cut itself is the finding.
  const Bytes original = read_file(log.path(2));
  for (std::size_t len = 0; len < original.size(); ++len) {
    truncate_to(log.path(2), len);
    ASSERT_EQ(verify(dir.path(), log.key(), {head, false}).value().verdict, Verdict::kViolation) << "cut at " << len;
    write_file(log.path(2), original);
  }
  truncate_to(log.path(2), 266);
  EXPECT_EQ(verify_ok(dir.path(), log.key(), {head, false}).violation,
            (Violation{V::kCheckpointTruncated, {2, 1, 0}, ev::CheckpointTruncated{cp_hex, "t0", 2, 9},
                       "Checkpoint truncated: s2r1 observed at t0, is absent from this log \u2014 history was cut"}));
  // Forensic mode with a checkpoint and another violation: no truncation claim.
  flip_byte(log.path(0), 100);
  const VerifyReport other = verify_ok(dir.path(), log.key(), {head, true});
  EXPECT_EQ(std::tuple(compact_verdict(other), other.additional_violations), std::tuple("HmacMismatch@s0r0", std::vector<Violation>{}));
}

TEST(Checkpoint, RefusalsSayWhy) {
  using K = CheckpointError::Kind;
  const KeyHandle key = test_key();
  TempDir empty, damaged, fresh, odd;
  const auto missing = create_checkpoint(empty / "none", key).error();
  EXPECT_EQ(std::tie(missing.kind, missing.verify.kind), std::tuple(K::kVerify, VerifyError::Kind::kOpenLogDirectory));
  const WrittenLog log(damaged.path());
  flip_byte(log.path(1), 0);
  const auto refused = create_checkpoint(damaged.path(), key).error();
  EXPECT_EQ(std::tie(refused.kind, refused.message), std::tuple(K::kNotVerified, "Segment 1 bad magic: [66, 86, 65, 85]"));
  // A checkpoint of another key fails before anything is read.
  truncate_to(log.path(0), 10);
  const Checkpoint foreign{0, 0, Mac{}, test_key(7)->key_id(), ""};
  EXPECT_EQ(verify(damaged.path(), key, {foreign, true}).error().kind, VerifyError::Kind::kCheckpointKeyMismatch);
  build_log(fresh.path(), key, {2, 0});  // the last segment has no records yet
  const auto none = create_checkpoint(fresh.path(), key).error();
  EXPECT_EQ(std::tie(none.kind, none.segment), std::tuple(K::kNoRecords, 1));
  // A head that passes its MAC but not the reader: the verifier would have
  // pinned record_id 0 for it.
  LogBuilder head(odd.path(), key);
  head.begin_segment().append();
  const std::uint64_t at = head.append_record_bytes(with_entry(head.next_entries(), 1, cbor_text("1")));
  ASSERT_EQ(verdict(odd.path(), key), "Verified");
  const auto unread = create_checkpoint(odd.path(), key).error();
  EXPECT_EQ(std::tie(unread.kind, unread.reader),
            std::tuple(K::kReadHead, ReaderError::record_decode(0, at, "field `record_id` expected u64, got Text(\"1\")")));
}

TEST(Report, EvidenceAndTimesBuiltOutsideAWalk) {
  // The predecessor of a segment's first record is the header, or the previous segment.
  auto chain = [](std::uint16_t s) { return std::get<ev::ChainBreak>(violations::chain_break(s, 0, 80, "", "").evidence); };
  EXPECT_EQ(std::tuple(chain(0), chain(1)), std::tuple(ev::ChainBreak{"", "", std::nullopt, true}, ev::ChainBreak{"", "", 0, false}));

  // A leap day, and before the epoch across a 400-year era; the record fuzz
  // target holds every other text against a plain reading of the fields.
  EXPECT_EQ(std::tuple(ts_wall_to_ms("2000-02-29T23:59:59.999Z"), ts_wall_to_ms("1600-03-01T00:00:00.000Z")),
            std::tuple(951868799999, -11670912000000));
}

}  // namespace
}  // namespace corvane
