// The result of a verification: verdict, what was walked, and each
// violation with its location, message and typed evidence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvane {

enum class Verdict : std::uint8_t { kVerified, kViolation };
const char* verdict_name(Verdict verdict);  // "Verified", "Violation"

enum class ViolationKind : std::uint8_t {
  kHmacMismatch,
  kChainBreak,
  kRecordCorrupt,
  kTimestampRegression,
  kTimestampInconsistency,  // part of the model; no check raises it
  kSegmentDiscontinuity,
  kKeyIdMismatch,
  kHeaderCorrupt,
  kUnknownVersion,
  kCheckpointMismatch,
  kCheckpointTruncated,
};
const char* violation_kind_name(ViolationKind kind);  // "HmacMismatch", ...

struct ViolationLocation {
  std::uint16_t segment_index = 0;
  std::optional<std::uint64_t> record_id;
  std::uint64_t byte_offset = 0;
  bool operator==(const ViolationLocation&) const = default;
};

namespace evidence {
struct HmacMismatch {
  std::string expected_hmac_hex;
  std::string actual_hmac_hex;
  std::uint64_t payload_len = 0;
  std::uint64_t payload_byte_offset = 0;
  bool operator==(const HmacMismatch&) const = default;
};
struct ChainBreak {
  std::string expected_prev_hash_hex;
  std::string actual_prev_hash_hex;
  std::optional<std::uint64_t> preceding_record_id;
  bool is_genesis = false;
  bool operator==(const ChainBreak&) const = default;
};
struct TornTail {
  bool operator==(const TornTail&) const = default;
};
struct DecodeError {
  std::string message;
  bool operator==(const DecodeError&) const = default;
};
using RecordCorruptSubkind = std::variant<TornTail, DecodeError>;
struct RecordCorrupt {
  RecordCorruptSubkind subkind;
  bool operator==(const RecordCorrupt&) const = default;
};
struct TimestampRegression {
  std::string current_ts_wall;
  std::string preceding_ts_wall;
  std::int64_t delta_ms = 0;
  bool across_sessions = false;
  bool operator==(const TimestampRegression&) const = default;
};
struct TimestampInconsistency {
  std::string session_id_hex;
  std::string current_ts_wall;
  std::string preceding_ts_wall;
  std::uint64_t current_ts_mono_delta = 0;
  std::uint64_t preceding_ts_mono_delta = 0;
  std::int64_t wall_delta_ms = 0;
  std::int64_t mono_delta_ms = 0;
  std::uint64_t divergence_ms = 0;
  bool operator==(const TimestampInconsistency&) const = default;
};
struct SegmentDiscontinuity {
  std::string expected_prev_final_hex;
  std::string actual_prev_final_hex;
  std::uint16_t preceding_segment_index = 0;
  std::string preceding_segment_final_hex;
  bool operator==(const SegmentDiscontinuity&) const = default;
};
struct KeyIdMismatch {
  std::string header_key_id_hex;
  std::string record_key_id_hex;
  bool operator==(const KeyIdMismatch&) const = default;
};
struct CrcMismatch {
  std::uint32_t expected_crc32 = 0;
  std::uint32_t actual_crc32 = 0;
  bool operator==(const CrcMismatch&) const = default;
};
struct BadMagic {
  std::string actual_magic_hex;
  bool operator==(const BadMagic&) const = default;
};
struct Truncated {
  std::string message;
  bool operator==(const Truncated&) const = default;
};
struct ReservedBytesNonZero {
  std::string actual_hex;
  bool operator==(const ReservedBytesNonZero&) const = default;
};
using HeaderCorruptSubkind = std::variant<CrcMismatch, BadMagic, Truncated, ReservedBytesNonZero>;
struct HeaderCorrupt {
  HeaderCorruptSubkind subkind;
  bool operator==(const HeaderCorrupt&) const = default;
};
struct UnknownVersion {
  std::uint16_t actual_version = 0;
  std::vector<std::uint16_t> supported_versions;
  bool operator==(const UnknownVersion&) const = default;
};
struct CheckpointMismatch {
  std::string checkpoint_hmac_hex;
  std::string actual_hmac_hex;
  std::string observed_at;
  bool operator==(const CheckpointMismatch&) const = default;
};
struct CheckpointTruncated {
  std::string checkpoint_hmac_hex;
  std::string observed_at;
  std::optional<std::uint16_t> last_segment_index;
  std::uint64_t records_inspected = 0;
  bool operator==(const CheckpointTruncated&) const = default;
};
}  // namespace evidence

// One variant per kind, in ViolationKind order.
using ViolationEvidence =
    std::variant<evidence::HmacMismatch, evidence::ChainBreak, evidence::RecordCorrupt, evidence::TimestampRegression,
                 evidence::TimestampInconsistency, evidence::SegmentDiscontinuity, evidence::KeyIdMismatch,
                 evidence::HeaderCorrupt, evidence::UnknownVersion, evidence::CheckpointMismatch,
                 evidence::CheckpointTruncated>;

struct Violation {
  ViolationKind kind = ViolationKind::kHmacMismatch;
  ViolationLocation location;
  ViolationEvidence evidence;
  std::string message;
  bool operator==(const Violation&) const = default;
};

struct LogSummary {
  std::string log_dir;
  std::string key_id_hex;
  std::uint32_t segments_inspected = 0;
  std::uint64_t records_inspected = 0;
  std::optional<std::uint16_t> first_segment_index;
  std::optional<std::uint16_t> last_segment_index;
  std::optional<std::string> final_hmac_hex;
  bool operator==(const LogSummary&) const = default;
};

struct VerifyReport {
  std::uint16_t format_version = 1;
  Verdict verdict = Verdict::kVerified;
  LogSummary log;
  std::optional<Violation> violation;
  std::vector<Violation> additional_violations;

  // Records the violation (the first one, or an additional one) and returns
  // whether the walk may go on, which is `forensic`.
  bool add_violation(Violation v, bool forensic);
  bool operator==(const VerifyReport&) const = default;
};

// "Verified", "Violation", "ChainBreak@s0r7" or "HeaderCorrupt@s2".
std::string compact_verdict(const VerifyReport& report);
// Every field by name and value, for messages about impossible reports.
std::string debug_string(const VerifyReport& report);

// Builders that fill in each kind's location, evidence and message.
namespace violations {
Violation hmac_mismatch(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset, std::string expected_hex,
                        std::string actual_hex, std::uint64_t payload_len);
Violation chain_break(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset, std::string expected_hex,
                      std::string actual_hex);
Violation torn_tail(std::uint16_t segment, std::uint64_t offset);
Violation decode_error(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset, std::string message);
// `preceding_ms` is the preceding record's parsed time.
Violation timestamp_regression(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset,
                               std::string current_ts_wall, std::int64_t preceding_ms, std::int64_t delta_ms,
                               bool across_sessions);
Violation segment_discontinuity(std::uint16_t segment, std::string expected_hex, std::string actual_hex);
Violation header_key_id_mismatch(std::uint16_t segment, std::string header_key_id_hex, std::string verifier_key_id_hex);
Violation record_key_id_mismatch(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset,
                                 std::string header_key_id_hex, std::string record_key_id_hex);
Violation bad_magic(std::uint16_t segment, const std::uint8_t magic[4]);
Violation crc_mismatch(std::uint16_t segment, std::uint32_t computed, std::uint32_t stored);
Violation reserved_nonzero(std::uint16_t segment, const std::uint8_t reserved[4]);
Violation header_truncated(std::uint16_t segment, std::string io_message);
Violation unknown_version(std::uint16_t segment, std::uint16_t version);
Violation checkpoint_mismatch(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset,
                              std::string checkpoint_hmac_hex, std::string actual_hmac_hex, std::string observed_at);
Violation checkpoint_truncated(std::uint16_t segment, std::uint64_t record_id, std::string checkpoint_hmac_hex,
                               std::string observed_at, std::optional<std::uint16_t> last_segment_index,
                               std::uint64_t records_inspected);
}  // namespace violations

}  // namespace corvane
