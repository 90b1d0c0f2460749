// Builds logs for the reader and verifier tests from the format layer alone:
// intact logs of several segments, and records the writer would never write
// (wrong types, foreign key_ids, broken links) MACed so that they pass the
// MAC check and reach the checks behind it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/format.h"
#include "corvane/key.h"
#include "corvane/record.h"

namespace corvane::testing {

// The ten (key, encoded value) entries of a record, in key order; entry i
// holds key i + 1.
using RecordEntries = std::vector<std::pair<std::uint64_t, Bytes>>;

Bytes cbor_bytes(std::span<const std::uint8_t> b);  // byte string item
Bytes cbor_text(std::string_view s);                // text string item
Bytes cbor_uint(std::uint64_t u);

inline constexpr const char* kTestTs = "2024-05-01T12:00:00.000Z";

class LogBuilder {
 public:
  LogBuilder(std::string dir, KeyHandle key, SessionId session = test_session_id());

  // Creates the next segment (0 first) chained to the current head.
  LogBuilder& begin_segment();
  // Appends an ordinary record; returns its frame offset.
  std::uint64_t append(std::string event = "user.login", std::string ts_wall = kTestTs);
  // The entries of the ordinary record that would come next.
  RecordEntries next_entries(std::string event = "user.login", std::string ts_wall = kTestTs) const;
  // Joins entries into a record and appends it.
  std::uint64_t append_entries(const RecordEntries& entries);
  // Appends record bytes as given, MACed under the log's key; their MAC
  // becomes the head. Returns the frame offset.
  std::uint64_t append_record_bytes(const Bytes& record);
  // Appends the finalization record of the current segment.
  LogBuilder& finalize();

  const std::string& dir() const { return dir_; }
  const Mac& head() const { return head_; }
  std::uint16_t segment() const { return static_cast<std::uint16_t>(segment_); }
  std::uint64_t next_id() const { return next_id_; }
  std::string path(std::uint16_t index) const;
  std::string path() const { return path(segment()); }
  const KeyId& key_id() const { return key_->key_id(); }

  static SessionId test_session_id();

 private:
  std::string dir_;
  KeyHandle key_;
  SessionId session_;
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
