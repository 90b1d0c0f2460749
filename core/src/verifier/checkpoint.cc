#include "corvane/verifier.h"

namespace corvane {

std::expected<CheckpointFields, CheckpointError> create_checkpoint(const std::string& dir, const KeyHandle& key) {
  // The head comes from the verification's own walk, not from a cursor from
  // segment 0: a log whose first segments were removed still verifies, and
  // its head is still the last record of its last segment.
  VerifiedHead head;
  auto report = verify(dir, key, VerifyOptions{}, &head);
  if (!report) {
    CheckpointError e;
    e.kind = CheckpointError::Kind::kVerify;
    e.verify = report.error();
    return std::unexpected(std::move(e));
  }
  if (report->verdict == Verdict::kViolation) {
    CheckpointError e;
    e.kind = CheckpointError::Kind::kNotVerified;
    if (report->violation) e.message = report->violation->message;
    return std::unexpected(std::move(e));
  }
  const LogSummary& log = report->log;
  if (!log.last_segment_index || !log.final_hmac_hex) {
    CheckpointError e;
    e.kind = CheckpointError::Kind::kEmpty;
    return std::unexpected(std::move(e));
  }
  if (!head.record_id) {
    CheckpointError e;
    e.kind = CheckpointError::Kind::kNoRecords;
    e.segment = *log.last_segment_index;
    return std::unexpected(std::move(e));
  }
  return CheckpointFields{log.key_id_hex, *log.last_segment_index, *head.record_id, *log.final_hmac_hex};
}

}  // namespace corvane
