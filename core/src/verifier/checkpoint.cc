#include "corvane/reader.h"
#include "corvane/verifier.h"

namespace corvane {

namespace {

// The head record as the reader reads it. The verifier takes authenticated
// records leniently (a field of the wrong type becomes a default), so a head
// written with the key by something else could pin a record_id it lacks.
std::expected<StoredRecord, ReaderError> read_head(const std::string& dir, const VerifiedHead& head) {
  auto reader = SegmentReader::open(dir, head.segment);
  if (!reader) return std::unexpected(ReaderError::from_io(reader.error()));
  auto record = reader->read_record(head.byte_offset);
  if (!record) return std::unexpected(record.error());
  // Gone since the walk: the file was cut meanwhile.
  if (!*record) return std::unexpected(ReaderError::torn_tail(head.segment, head.byte_offset));
  return std::move(**record);
}

}  // namespace

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
  auto record = read_head(dir, head);
  if (!record) {
    CheckpointError e;
    e.kind = CheckpointError::Kind::kReadHead;
    e.reader = std::move(record.error());
    return std::unexpected(std::move(e));
  }
  return CheckpointFields{log.key_id_hex, *log.last_segment_index, record->record_id, *log.final_hmac_hex};
}

}  // namespace corvane
