// The writer: rotation and its boundary, refused records, sessions, the
// directory lock, the last segment index, and failures the I/O error sweep
// cannot make (it breaks one call at a time).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <limits>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "format/segment_file.h"
#include "support/fault_fs.h"
#include "support/format_testkit.h"
#include "support/test_util.h"
#include "support/written_log.h"
#include "writer/writer_probe.h"

namespace corvane {
namespace {

using namespace corvane::testing;
constexpr std::uint64_t kWidest = std::numeric_limits<std::uint64_t>::max();

WriterError io_error(int err) { return WriterError::from_io(IoError::from_errno(err)); }
WriterError too_early(std::string ts, std::string before) {
  return WriterError::invalid_argument("ts_wall \"" + ts + "\" is more than 60 s earlier than the previous record's \"" + before + "\"");
}
AppendRecord at(std::string ts) {
  AppendRecord r = sample_record(0);
  r.ts_wall = std::move(ts);
  return r;
}
// A child process's verdict comes back as its exit status: gtest assertions
// do not cross the fork.
pid_t spawn(const std::function<bool()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child() ? 0 : 1);
  return pid;
}
bool exited_ok(pid_t pid) {
  int status = -1;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class WriterTest : public ::testing::Test {
 protected:
  TempDir tmp;
  KeyHandle key = test_key();
  std::string dir = tmp / "logs/audit";
};

// Room for the record, a finalization record and both frames' overhead is
// exactly enough; one byte less rotates.
TEST_F(WriterTest, RotationBoundaryIsExact) {
  const AppendRecord first = sample_record(0), second = sample_record(1, 50);
  const std::uint64_t after_first = kHeaderLen + *encoded_record_len(first, 0) + kFrameOverhead;
  const std::uint64_t fits = after_first + *encoded_record_len(second, kWidest) + 2 * kFrameOverhead +
                             encoded_finalization_len(24, second.ts_mono_delta, kWidest, kWidest);
  for (const std::uint64_t limit : {fits, fits - 1}) {
    TempDir t;
    auto w = open_writer(t.path(), key, limit).writer;
    append_ok(w, first);
    EXPECT_EQ((std::tuple{append_ok(w, second), detail::WriterProbe::segment_index(w)}), std::tuple(limit < fits ? 0u : 1u, limit < fits ? 1 : 0));
  }
}

// Unwraps level by level: the default destructor would recurse once per level.
void dismantle(PayloadValue v) {
  for (PayloadArray* a; (a = std::get_if<PayloadArray>(&v.v)) && !a->empty();) v = PayloadValue(std::move(a->front()));
}

// Every refused record leaves the file and the writer's state untouched; the
// accepted side of each boundary is written and decodes.
TEST_F(WriterTest, RecordsAreRefusedOrAcceptedBeforeAnythingIsWritten) {
  auto w = open_writer(dir, key).writer;
  append_ok(w, sample_record(0));
  // Padding that makes the next record exactly MAX_RECORD_LEN bytes long
  // (its text head grows from 1 to 5 bytes).
  const std::size_t pad = MAX_RECORD_LEN - *encoded_record_len(sample_record(1), 1) - 4;
  const auto ts = [](std::string t) { return [t](AppendRecord& r) { r.ts_wall = t; }; };
  const auto payload = [](std::string name, PayloadValue v) { return [=](AppendRecord& r) { r.payload.insert_or_assign(name, v); }; };
  const std::string z = "ts_wall must end with 'Z' (RFC 3339 UTC); got ", ms = "ts_wall must be RFC 3339 with ms precision; got ",
                    deep = "payload nested too deeply: a record allows 16 nesting levels";
  // clang-format off
  const struct { std::function<void(AppendRecord&)> change; std::string refusal; /* empty: accepted */ } rows[] = {
      {ts("2024-01-01T00:00:00.000+00:00"), z + "\"2024-01-01T00:00:00.000+00:00\""},
      {ts("2024-01-01T00:00:00.00Z"), ms + "\"2024-01-01T00:00:00.00Z\""},
      {ts("a\"b\\\nZ"), ms + "\"a\\\"b\\\\\\nZ\""},
      // Not ASCII: a character in the milliseconds.
      {ts("2024-05-06T07:08:09.\u00e91Z"), ms + "\"2024-05-06T07:08:09.\u00e91Z\""},
      // Read as the verifier reads it, the year 0: far back.
      {ts("not a time at all, but Z"), too_early("not a time at all, but Z", "2024-05-06T07:08:09.000Z").message},
      {[](auto& r) { r.schema_version = 256; }, "schema_version 256 exceeds 255"}, {[](auto& r) { r.schema_version = 255; }, ""},
      {payload("n", format_testkit::nested_arrays(14)), deep}, {payload("n", format_testkit::nested_arrays(13)), ""},
      {payload("pad", PayloadValue::text(std::string(pad + 1, 'x'))), "record too large: 33554433 bytes exceeds the 33554432-byte limit"},
      {payload("pad", PayloadValue::text(std::string(pad, 'x'))), ""},
  };
  // clang-format on
  std::uint64_t next = 1;
  for (const auto& row : rows) {
    SCOPED_TRACE(next);
    AppendRecord r = sample_record(1);
    row.change(r);
    const Bytes before = read_file(segment_path(dir, 0));
    auto id = w.append(r);
    if (row.refusal.empty()) EXPECT_EQ(id, next++);
    else EXPECT_EQ(std::tuple(id.error(), read_file(segment_path(dir, 0)), detail::WriterProbe::segment_bytes(w)),
                   std::tuple(WriterError::invalid_argument(row.refusal), before, before.size()));
  }
  // An absurdly deep payload is refused without recursing through it.
  AppendRecord absurd = sample_record(1);
  absurd.payload = PayloadMap();
  absurd.payload.insert_or_assign("n", format_testkit::nested_arrays(200000));
  EXPECT_EQ(w.append(absurd).error().message, deep);
  // The map's entries are reachable only as const; the object itself is not.
  dismantle(std::move(const_cast<std::vector<PayloadMap::Entry>&>(absurd.payload.entries())[0].second));
  w.close();
  // Everything accepted is readable, and recovery takes the largest record.
  EXPECT_EQ(open_writer(dir, key).action, RecoveryAction::kResumed);
  EXPECT_EQ(check_log(dir, key)->size(), next);
}

// The record a new one follows may be a finalization record: the pending one
// of this append's rotation, or after a reopen that of the segment before an
// empty last one. Exactly a minute back is accepted, and the log verifies.
TEST_F(WriterTest, StepBackIsMeasuredFromTheRecordActuallyBefore) {
  const std::string a = "2024-05-06T07:08:09.500Z", a_fin = "2024-05-06T07:08:09.501Z";
  {
    // Segment size 0: the second append rotates, behind a finalization record.
    auto w = open_writer(dir, key, 0).writer;
    append_ok(w, at(a));
    EXPECT_EQ(w.append(at("2024-05-06T07:07:09.500Z")).error(), too_early("2024-05-06T07:07:09.500Z", a_fin));
    EXPECT_TRUE(detail::WriterProbe::segment_index(w) == 0 && !std::filesystem::exists(segment_path(dir, 1)));
    EXPECT_EQ(append_ok(w, at("2024-05-06T07:08:10.000Z")), 0u);
  }
  using Change = std::function<void(const std::string&)>;
  const Change remove_last = [](const std::string& d) { std::filesystem::remove(segment_path(d, 1)); };
  const Change reopen_empty = [&](const std::string& d) { remove_last(d), open_writer(d, key); };  // segment 1 made empty
  const std::string fin_early = "2024-05-06T07:07:09.500Z", fin_earliest = "2024-05-06T07:07:09.501Z";
  // too_early and earliest are 60001 and 60000 ms before `previous`.
  const struct { Change change; std::optional<std::string> previous; std::string too_early, earliest; } rows[] = {
      {[](auto&) {}, "2024-05-06T07:08:10.000Z", "2024-05-06T07:07:09.999Z", "2024-05-06T07:07:10.000Z"},  // resumed
      {remove_last, a_fin, fin_early, fin_earliest},  // next after a finalized segment
      {reopen_empty, a_fin, fin_early, fin_earliest},
      {[](auto& d) { truncate_to(segment_path(d, 1), 0); }, a_fin, fin_early, fin_earliest},  // creation remnant
      // The segment before cannot be read back: nothing to compare with.
      {[&](auto& d) { reopen_empty(d), flip_byte(segment_path(d, 0), file_len(segment_path(d, 0)) - 50); }, std::nullopt,
       "2020-01-01T00:00:00.000Z", "2020-01-01T00:00:00.000Z"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.earliest + row.previous.value_or("none"));
    TempDir t;
    const std::string d = t / "log";
    copy_dir(dir, d);
    row.change(d);
    auto w = open_writer(d, key).writer;
    EXPECT_EQ(w.last_ts_wall(), row.previous);
    EXPECT_TRUE(!row.previous || w.append(at(row.too_early)).error() == too_early(row.too_early, *row.previous));
    append_ok(w, at(row.earliest));
    w.close();
    EXPECT_TRUE(!row.previous || testing::verify_ok(d, key).verdict == Verdict::kVerified);
  }
}

// Session 1 writes with segment size 0, one record in each segment; the
// finalization record is one millisecond on, in the session of its segment.
TEST_F(WriterTest, SessionsContinueOneChain) {
  for (std::uint8_t session = 1; session <= 3; ++session) {
    auto opened = open_writer(dir, key, session == 1 ? 0 : 700, test_session(session));
    EXPECT_EQ(opened.action, session == 1 ? RecoveryAction::kFresh : RecoveryAction::kResumed);
    for (std::uint64_t i = 0; i < 4; ++i)
      EXPECT_TRUE((append_ok(opened.writer, sample_record(i)) == 0 && detail::WriterProbe::segment_index(opened.writer) == i) || session > 1) << i;
  }
  const auto log = check_log(dir, key).value();
  const StoredRecord& fin = log.at(1);
  EXPECT_EQ(std::tie(fin.segment_index, fin.ts_wall, fin.ts_mono_delta, fin.session_id),
            std::tuple(0, "2024-05-06T07:08:09.001Z", sample_record(0).ts_mono_delta + 1, test_session(1)));
  int ordinary = 0;
  for (const StoredRecord& r : log) EXPECT_TRUE(r.event == kFinalizationEvent || r.session_id == test_session(1 + ordinary++ / 4));
  EXPECT_TRUE(ordinary == 12 && log.back().segment_index > 4);
}

// The last index is used, then every append is refused (the segment is not
// finalized twice), and so is a reopen.
TEST_F(WriterTest, SegmentIndexEndsAt65535) {
  const Mac prev = key->mac(Bytes{7});
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(create_segment(dir, 65534, key->key_id(), prev));
  const WriterError overflow = WriterError::segment_index_overflow();
  auto w = open_writer(dir, key, 0).writer;
  EXPECT_EQ(detail::WriterProbe::chain_head(w), prev);
  append_ok(w, sample_record(0));
  EXPECT_EQ((std::tuple{append_ok(w, sample_record(1)), w.append(sample_record(2)).error()}), std::tuple(0u, overflow));
  const std::uint64_t sealed = file_len(tmp / "logs/audit/audit-65535.cbor");
  EXPECT_EQ((std::tuple{w.append(sample_record(2)).error(), file_len(segment_path(dir, 65535))}), std::tuple(overflow, sealed));
  w.close();
  EXPECT_EQ(Writer::open(dir, key, test_session()).error(), overflow);
}

TEST_F(WriterTest, FlushAfterTheDirectoryVanishedFailsForGood) {
  auto w = open_writer(dir, key).writer;
  append_ok(w, sample_record(0));
  ASSERT_TRUE(w.flush());
  std::filesystem::remove_all(dir);
  EXPECT_EQ((std::tuple{w.flush().error(), w.append(sample_record(1)).error()}), std::tuple(io_error(ENOENT), io_error(ENOENT)));
}

// ENOSPC after part of a frame (an ordinary one, or the finalization record
// of a rotation) leaves the segment at its last good length; a failed cut
// then stops the writer until the log is reopened.
TEST_F(WriterTest, FailedWriteIsCutBackOrStopsTheWriter) {
  for (const std::uint64_t size : {kDefaultSegmentSizeBytes, std::uint64_t{0}}) {
    for (const bool cut_fails : {false, true}) {
      SCOPED_TRACE(::testing::Message() << size << " " << cut_fails);
      TempDir t;
      auto w = open_writer(t.path(), key, size).writer;
      append_ok(w, sample_record(0));
      const std::string first = segment_path(t.path(), 0);
      const std::uint64_t good = file_len(first);
      {
        FaultFs faults;
        faults.add({.op = FsOp::kPwrite, .max_bytes = 10});
        faults.add({.op = FsOp::kPwrite, .nth = 2, .err = ENOSPC});
        if (cut_fails) faults.add({.op = FsOp::kFtruncate, .err = EROFS});
        EXPECT_EQ(w.append(sample_record(1)).error(), io_error(ENOSPC));
      }
      if (cut_fails) {
        EXPECT_EQ((std::tuple{w.append(sample_record(1)).error(), w.flush().error(), file_len(first)}),
                  std::tuple(io_error(EROFS), io_error(EROFS), good + 10));
        w.close();
        auto opened = open_writer(t.path(), key, size);
        EXPECT_EQ(std::tie(opened.action, opened.truncated_bytes), std::tuple(RecoveryAction::kRepaired, 10u));
        w = std::move(opened.writer);
      }
      EXPECT_EQ(file_len(first), good);
      EXPECT_EQ(append_ok(w, sample_record(1)), size == 0 ? 0u : 1u);
      append_ok(w, sample_record(2));
      w.close();
      EXPECT_EQ(check_log(t.path(), key)->size(), size == 0 ? 5u : 3u);  // with a finalization record after each of two
    }
  }
}

// A writer in a process forked from the one that opened it: refused there,
// and the child's copies of its descriptors never keep the log locked.
TEST_F(WriterTest, ForkedChildIsRefusedAndWritesNothing) {
  auto opened = open_writer(dir, key);
  append_ok(opened.writer, sample_record(0));
  ASSERT_TRUE(opened.writer.flush());
  const Bytes before = read_file(segment_path(dir, 0));
  const std::unexpected forked(WriterError::forked(::getpid()));
  EXPECT_TRUE(exited_ok(spawn([&] {
    return opened.writer.append(sample_record(1)) == forked && opened.writer.flush() == forked && opened.writer.check_process() == forked;
  })));
  EXPECT_EQ(read_file(segment_path(dir, 0)), before);
  EXPECT_EQ(forked.error().to_string(), "Writer was opened by process " + std::to_string(::getpid()) +
                                    " and cannot be used after fork; open a new Writer in this process");
  append_ok(opened.writer, sample_record(1));  // the parent's writer goes on
  opened.writer.close();
  EXPECT_EQ(check_log(dir, key).value().size(), 2U);
}

TEST_F(WriterTest, SecondWriterIsRefusedUntouchedEvenWhileAChildLivesOn) {
  auto opened = open_writer(dir, key);
  int ready[2], gate[2];
  ASSERT_TRUE(::pipe(ready) == 0 && ::pipe(gate) == 0);
  char c = 'r';
  // The child's copies are closed as it starts, before it runs anything; it
  // lives until the parent closes its end of the gate.
  const pid_t pid = spawn([&] { return ::close(gate[1]) == 0 && ::write(ready[1], &c, 1) == 1 && ::read(gate[0], &c, 1) == 0; });
  ::close(gate[0]);
  ::close(ready[1]);
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  // The child closed only its copies: the parent's lock still holds, and the
  // refused writer leaves alone a torn tail only a reopen may cut...
  append_bytes(segment_path(dir, 0), Bytes(7, 0xEE));
  const Bytes before = read_file(segment_path(dir, 0));
  EXPECT_EQ(Writer::open(dir, key, test_session(3)).error(), WriterError::locked());
  EXPECT_EQ(read_file(segment_path(dir, 0)), before);
  // ...until the parent lets go, though the child lives on.
  opened.writer.close();
  EXPECT_TRUE(Writer::open(dir, key, test_session(2)));
  ::close(gate[1]);
  EXPECT_TRUE(exited_ok(pid));
}

}  // namespace
}  // namespace corvane
