// Logs for the verifier, reader and checkpoint tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "corvane/key.h"
#include "corvane/report.h"
#include "corvane/verifier.h"
#include "support/test_util.h"

namespace corvane::testing {

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
