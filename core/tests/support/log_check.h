// Reading a log back for the writer's tests, independent of the reader:
// frames split by split_frames, records decoded with decode_canonical, and
// the chain recomputed with the key.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/format.h"
#include "corvane/key.h"
#include "corvane/record.h"
#include "corvane/writer.h"
#include "support/test_util.h"

namespace corvane::testing {

struct LogRecord {
  std::uint16_t segment = 0;
  CborValue value;  // the decoded record map

  // The value under record key `key` (1..10); throws when absent.
  const CborValue& field(std::uint64_t key) const;
  std::uint64_t record_id() const { return *field(1).as_uint(); }
  const std::string& event() const { return *field(7).as_text(); }
  const CborValue& payload(const std::string& name) const;
};

// Every record of the log in `dir`, after checking what the writer promises:
// segments 0..n without gaps, each header exactly as built for its index,
// key and prev_final; every frame's MAC under `key`; records that decode
// canonically as ten-entry maps carrying the key's key_id; record_ids from 0
// in every segment; prev_hash chained from the genesis MAC through every
// prev_final; a finalization record (with its "records" and "final_hash")
// ending every segment but the last and nowhere else; no bytes after the
// last frame. The error names the first thing that is wrong. From
// `first_segment` on only: its header's prev_final is then taken on trust.
std::expected<std::vector<LogRecord>, std::string> check_log(const std::string& dir, const Key& key,
                                                             std::uint16_t first_segment = 0);

// Opens the log in `dir` the way a writer does after a crash or a failure,
// on the installed file system, and checks what survived: the open
// succeeds; one more record, sample_record(`probe`), appends and flushes;
// the log then passes check_log and verify(); and its records other than
// finalization records are the first n of `appended` (by payload "i"),
// with n at least `acked`, then the probe. Returns those "i" values, or
// what is wrong.
std::expected<std::vector<std::uint64_t>, std::string> check_recovers(
    const std::string& dir, const KeyHandle& key, std::span<const std::uint64_t> appended, std::size_t acked,
    std::uint64_t probe, std::optional<std::uint64_t> segment_size = std::nullopt);

// A plain record numbered `i`: fixed ts_wall (milliseconds i % 1000), actor,
// event "test.event", payload {"i": i, "pad": `pad` x's}.
AppendRecord sample_record(std::uint64_t i, std::size_t pad = 0);

// Writer::open and Writer::append that throw, failing the test, on failure.
Writer::Opened open_writer(const std::string& dir, const KeyHandle& key,
                           std::optional<std::uint64_t> segment_size_bytes = std::nullopt,
                           const SessionId& session = test_session());
std::uint64_t append_ok(Writer& writer, const AppendRecord& record);

}  // namespace corvane::testing
