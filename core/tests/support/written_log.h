// Logs for the tests: written through the writer and read back with what
// it promises checked, or built from the format layer to hold what the
// writer never writes.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "corvane/key.h"
#include "corvane/reader.h"
#include "corvane/record.h"
#include "corvane/report.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support/test_util.h"

namespace corvane::testing {

// Every record of the log in `dir`, once verify() finds it Verified and a
// finalization record (with its "records" and "final_hash") ends every
// segment but the last and nowhere else, no segment before the last being
// empty. The error names the first thing that is wrong.
std::expected<std::vector<StoredRecord>, std::string> check_log(const std::string& dir, const KeyHandle& key);

// Opens the log in `dir` the way a writer does after a crash or a failure,
// on the installed file system, and checks what survived: the open
// succeeds; one more record, sample_record(`probe`), appends and flushes;
// the log then passes check_log; and its records other than finalization
// records are the first n of `appended` (by payload "i"), with n at least
// `acked`, then the probe. Returns those "i" values, or what is wrong.
std::expected<std::vector<std::uint64_t>, std::string> check_recovers(const std::string& dir, const KeyHandle& key, std::span<const std::uint64_t> appended,
                                                                     std::size_t acked, std::uint64_t probe, std::optional<std::uint64_t> segment_size = std::nullopt);

// A plain record numbered `i`: fixed ts_wall (milliseconds i % 1000), actor,
// event "test.event", payload {"i": i, "pad": `pad` x's}.
AppendRecord sample_record(std::uint64_t i, std::size_t pad = 0);

// Writer::open and Writer::append that throw, failing the test, on failure.
Writer::Opened open_writer(const std::string& dir, const KeyHandle& key, std::optional<std::uint64_t> segment_size_bytes = std::nullopt,
                           const SessionId& session = test_session());
std::uint64_t append_ok(Writer& writer, const AppendRecord& record);

// Written by the writer: segments 0 and 1 hold records 0..2 and a
// finalization record (id 3), segment 2 records 0 and 1. Frames are 186 bytes
// (record 146), the finalization frame 251; frames start at 80, 266, 452, 638.
class WrittenLog {
 public:
  explicit WrittenLog(const std::string& dir, KeyHandle key = test_key(), std::string event = "user.login");

  std::string path(std::uint16_t segment) const;
  // The frames of a segment as written.
  const std::vector<RawFrame>& frames(std::uint16_t segment) const { return frames_.at(segment); }
  const Mac& head() const { return frames_.back().back().mac; }
  const KeyHandle& key() const { return key_; }
  // A checkpoint pinning (segment, record_id) to the MAC found there.
  Checkpoint checkpoint(std::uint16_t segment, std::uint64_t record_id) const;

 private:
  std::string dir_;
  KeyHandle key_;
  std::vector<std::vector<RawFrame>> frames_;
};

// Appends `n` more records through a writer opened on `dir`.
void append_records(const std::string& dir, const KeyHandle& key, int n, std::string event = "user.login");

// verify(), failing the test on an error.
VerifyReport verify_ok(const std::string& dir, const KeyHandle& key, const VerifyOptions& options = {});

// The (key, encoded value) entries of a record; entry i holds key i + 1.
using RecordEntries = std::vector<std::pair<std::uint64_t, Bytes>>;
Bytes cbor_bytes(ByteView b);
Bytes cbor_text(std::string_view s);
inline constexpr const char* kTestTs = "2024-05-01T12:00:00.000Z";
// Record maps the writer never writes: entry `key` replaced, the last entry
// dropped, a trailing zero byte, the last entry swapped for one under a text key.
Bytes with_entry(RecordEntries e, std::uint64_t key, Bytes value);
Bytes without_last(RecordEntries e);
Bytes with_trailing_byte(const RecordEntries& e);
Bytes with_text_key(RecordEntries e);

// Built from the format layer alone, so that it can hold records the writer
// never writes, MACed under the log's key to reach the checks behind the MAC.
class LogBuilder {
 public:
  LogBuilder(std::string dir, KeyHandle key) : dir_(std::move(dir)), key_(std::move(key)) {}

  // Creates the next segment (0 first) chained to the current head.
  LogBuilder& begin_segment();
  // Appends an ordinary record; returns its frame offset.
  std::uint64_t append(std::string event = "user.login", std::string ts_wall = kTestTs);
  // The entries of the ordinary record that would come next.
  RecordEntries next_entries(std::string event = "user.login", std::string ts_wall = kTestTs) const;
  std::uint64_t append_entries(const RecordEntries& entries) { return append_record_bytes(encode_uint_keyed_map(entries)); }
  // Appends record bytes as given; their MAC becomes the head.
  std::uint64_t append_record_bytes(const Bytes& record);
  LogBuilder& finalize();
  std::string path(int segment = -1) const;  // -1: the current one

 private:
  std::string dir_;
  KeyHandle key_;
  int segment_ = -1;
  Mac head_{};
  std::uint64_t next_id_ = 0;
  std::string last_ts_ = kTestTs;
  std::uint64_t last_mono_ = 0;
};

// An intact log with one segment per entry of `records`, each holding that
// many ordinary records; every segment but the last is finalized.
LogBuilder build_log(const std::string& dir, const KeyHandle& key, const std::vector<int>& records);

}  // namespace corvane::testing
