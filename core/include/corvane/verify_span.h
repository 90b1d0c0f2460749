// Verification that costs what is new: from a trusted checkpoint on
// (incremental), with segments walked on several threads (parallel), and up
// to the size the log had when it started (live). The report is the one the
// sequential verifier gives for the same records; the span says what exactly
// was proved.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "corvane/errors.h"
#include "corvane/key.h"
#include "corvane/report.h"
#include "corvane/verifier.h"

namespace corvane {

struct SpanOptions {
  // The Parts' options: a checkpoint to compare along the walk, forensic mode.
  VerifyOptions verify;
  // Start at this trusted record instead of the log's beginning: nothing
  // before it is read. Its key_id must be the key's; it cannot be combined
  // with verify.checkpoint.
  std::optional<Checkpoint> since;
  // Where the pinned record's frame starts, if known: a hint, checked.
  std::optional<std::uint64_t> since_offset;
  // Threads walking segments; 0 means one per CPU. The report does not
  // depend on it.
  unsigned jobs = 1;
  // The last listed segment ends at the size it has when its walk starts; a
  // frame cut there is pending, not a torn tail.
  bool live = false;
  // When set, two counters updated with relaxed atomic stores while the walk
  // runs, for a caller watching from another thread: bytes of segment files
  // walked, segments done.
  std::uint64_t* progress = nullptr;
};

struct RecordPosition {
  std::uint16_t segment = 0;
  std::uint64_t record_id = 0;
  std::uint64_t offset = 0;  // of its frame
  bool operator==(const RecordPosition&) const = default;
};

struct VerifySpan {
  std::optional<RecordPosition> start;  // the pinned record (incremental)
  // The record whose MAC is the final chain head: the last one that passed
  // every check in a segment walked to its end.
  std::optional<RecordPosition> end;
  // ts_wall of the first and last records that passed every check.
  std::optional<std::string> first_ts_wall, last_ts_wall;
  std::uint64_t pending_bytes = 0;  // of a frame cut by the live horizon
  bool operator==(const VerifySpan&) const = default;
};

struct SpanReport {
  VerifyReport report;
  VerifySpan span;
};

// Safe to call from any thread; touches nothing but the log directory. The
// calling thread waits while `jobs` threads walk; if threads cannot be
// started it walks alone.
[[nodiscard]] std::expected<SpanReport, VerifyError> verify_span(const std::string& dir, const KeyHandle& key,
                                                                 const SpanOptions& options);

}  // namespace corvane
