#include "corvane/report.h"

#include <span>
#include <type_traits>

#include "corvane/format.h"
#include "corvane/key.h"
#include "text.h"

namespace corvane {

namespace {

std::string num(std::uint64_t v) { return std::to_string(v); }
std::string num(std::int64_t v) { return std::to_string(v); }

// "s3r7"
std::string pos(std::uint16_t segment, std::uint64_t record_id) {
  return "s" + num(std::uint64_t{segment}) + "r" + num(record_id);
}

Violation make(ViolationKind kind, std::uint16_t segment, std::optional<std::uint64_t> record_id,
               std::uint64_t byte_offset, ViolationEvidence evidence, std::string message) {
  return Violation{kind, ViolationLocation{segment, record_id, byte_offset}, std::move(evidence), std::move(message)};
}

std::span<const std::uint8_t> four(const std::uint8_t bytes[4]) { return {bytes, 4}; }

}  // namespace

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::kVerified: return "Verified";
    case Verdict::kViolation: return "Violation";
  }
  return "?";
}

const char* violation_kind_name(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::kHmacMismatch: return "HmacMismatch";
    case ViolationKind::kChainBreak: return "ChainBreak";
    case ViolationKind::kRecordCorrupt: return "RecordCorrupt";
    case ViolationKind::kTimestampRegression: return "TimestampRegression";
    case ViolationKind::kTimestampInconsistency: return "TimestampInconsistency";
    case ViolationKind::kSegmentDiscontinuity: return "SegmentDiscontinuity";
    case ViolationKind::kKeyIdMismatch: return "KeyIdMismatch";
    case ViolationKind::kHeaderCorrupt: return "HeaderCorrupt";
    case ViolationKind::kUnknownVersion: return "UnknownVersion";
    case ViolationKind::kCheckpointMismatch: return "CheckpointMismatch";
    case ViolationKind::kCheckpointTruncated: return "CheckpointTruncated";
  }
  return "?";
}

bool VerifyReport::add_violation(Violation v, bool forensic) {
  if (!violation) {
    violation = std::move(v);
    verdict = Verdict::kViolation;
  } else {
    additional_violations.push_back(std::move(v));
  }
  return forensic;
}

std::string compact_verdict(const VerifyReport& report) {
  if (report.verdict == Verdict::kVerified) return "Verified";
  if (!report.violation) return "Violation";
  const Violation& v = *report.violation;
  std::string out = violation_kind_name(v.kind);
  out += "@s" + num(std::uint64_t{v.location.segment_index});
  if (v.location.record_id) out += "r" + num(*v.location.record_id);
  return out;
}

namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }
std::string opt(const std::optional<std::uint64_t>& v) { return v ? num(*v) : "None"; }
std::string opt16(const std::optional<std::uint16_t>& v) { return v ? num(std::uint64_t{*v}) : "None"; }
std::string yes(bool b) { return b ? "true" : "false"; }

struct EvidenceText {
  std::string operator()(const evidence::HmacMismatch& e) const {
    return "HmacMismatch { expected_hmac_hex: " + quoted(e.expected_hmac_hex) +
           ", actual_hmac_hex: " + quoted(e.actual_hmac_hex) + ", payload_len: " + num(e.payload_len) +
           ", payload_byte_offset: " + num(e.payload_byte_offset) + " }";
  }
  std::string operator()(const evidence::ChainBreak& e) const {
    return "ChainBreak { expected_prev_hash_hex: " + quoted(e.expected_prev_hash_hex) +
           ", actual_prev_hash_hex: " + quoted(e.actual_prev_hash_hex) +
           ", preceding_record_id: " + opt(e.preceding_record_id) + ", is_genesis: " + yes(e.is_genesis) + " }";
  }
  std::string operator()(const evidence::RecordCorrupt& e) const {
    if (const auto* d = std::get_if<evidence::DecodeError>(&e.subkind)) {
      return "RecordCorrupt { subkind: DecodeError { message: " + quoted(d->message) + " } }";
    }
    return "RecordCorrupt { subkind: TornTail }";
  }
  std::string operator()(const evidence::TimestampRegression& e) const {
    return "TimestampRegression { current_ts_wall: " + quoted(e.current_ts_wall) +
           ", preceding_ts_wall: " + quoted(e.preceding_ts_wall) + ", delta_ms: " + num(e.delta_ms) +
           ", across_sessions: " + yes(e.across_sessions) + " }";
  }
  std::string operator()(const evidence::TimestampInconsistency& e) const {
    return "TimestampInconsistency { session_id_hex: " + quoted(e.session_id_hex) +
           ", current_ts_wall: " + quoted(e.current_ts_wall) + ", preceding_ts_wall: " + quoted(e.preceding_ts_wall) +
           ", current_ts_mono_delta: " + num(e.current_ts_mono_delta) +
           ", preceding_ts_mono_delta: " + num(e.preceding_ts_mono_delta) + ", wall_delta_ms: " + num(e.wall_delta_ms) +
           ", mono_delta_ms: " + num(e.mono_delta_ms) + ", divergence_ms: " + num(e.divergence_ms) + " }";
  }
  std::string operator()(const evidence::SegmentDiscontinuity& e) const {
    return "SegmentDiscontinuity { expected_prev_final_hex: " + quoted(e.expected_prev_final_hex) +
           ", actual_prev_final_hex: " + quoted(e.actual_prev_final_hex) +
           ", preceding_segment_index: " + num(std::uint64_t{e.preceding_segment_index}) +
           ", preceding_segment_final_hex: " + quoted(e.preceding_segment_final_hex) + " }";
  }
  std::string operator()(const evidence::KeyIdMismatch& e) const {
    return "KeyIdMismatch { header_key_id_hex: " + quoted(e.header_key_id_hex) +
           ", record_key_id_hex: " + quoted(e.record_key_id_hex) + " }";
  }
  std::string operator()(const evidence::HeaderCorrupt& e) const {
    std::string sub = std::visit(
        [](const auto& s) -> std::string {
          using T = std::decay_t<decltype(s)>;
          if constexpr (std::is_same_v<T, evidence::CrcMismatch>) {
            return "CrcMismatch { expected_crc32: " + num(std::uint64_t{s.expected_crc32}) +
                   ", actual_crc32: " + num(std::uint64_t{s.actual_crc32}) + " }";
          } else if constexpr (std::is_same_v<T, evidence::BadMagic>) {
            return "BadMagic { actual_magic_hex: " + quoted(s.actual_magic_hex) + " }";
          } else if constexpr (std::is_same_v<T, evidence::Truncated>) {
            return "Truncated { message: " + quoted(s.message) + " }";
          } else {
            return "ReservedBytesNonZero { actual_hex: " + quoted(s.actual_hex) + " }";
          }
        },
        e.subkind);
    return "HeaderCorrupt { subkind: " + sub + " }";
  }
  std::string operator()(const evidence::UnknownVersion& e) const {
    std::string list;
    for (std::uint16_t v : e.supported_versions) list += (list.empty() ? "" : ", ") + num(std::uint64_t{v});
    return "UnknownVersion { actual_version: " + num(std::uint64_t{e.actual_version}) + ", supported_versions: [" +
           list + "] }";
  }
  std::string operator()(const evidence::CheckpointMismatch& e) const {
    return "CheckpointMismatch { checkpoint_hmac_hex: " + quoted(e.checkpoint_hmac_hex) +
           ", actual_hmac_hex: " + quoted(e.actual_hmac_hex) + ", observed_at: " + quoted(e.observed_at) + " }";
  }
  std::string operator()(const evidence::CheckpointTruncated& e) const {
    return "CheckpointTruncated { checkpoint_hmac_hex: " + quoted(e.checkpoint_hmac_hex) +
           ", observed_at: " + quoted(e.observed_at) + ", last_segment_index: " + opt16(e.last_segment_index) +
           ", records_inspected: " + num(e.records_inspected) + " }";
  }
};

std::string violation_text(const Violation& v) {
  return std::string("Violation { kind: ") + violation_kind_name(v.kind) +
         ", location: ViolationLocation { segment_index: " + num(std::uint64_t{v.location.segment_index}) +
         ", record_id: " + opt(v.location.record_id) + ", byte_offset: " + num(v.location.byte_offset) +
         " }, evidence: " + std::visit(EvidenceText{}, v.evidence) + ", message: " + quoted(v.message) + " }";
}

}  // namespace

std::string debug_string(const VerifyReport& report) {
  const LogSummary& log = report.log;
  std::string out = "VerifyReport { format_version: " + num(std::uint64_t{report.format_version}) +
                    ", verdict: " + verdict_name(report.verdict) +
                    ", log: LogSummary { log_dir: " + quoted(log.log_dir) + ", key_id_hex: " + quoted(log.key_id_hex) +
                    ", segments_inspected: " + num(std::uint64_t{log.segments_inspected}) +
                    ", records_inspected: " + num(log.records_inspected) +
                    ", first_segment_index: " + opt16(log.first_segment_index) +
                    ", last_segment_index: " + opt16(log.last_segment_index) +
                    ", final_hmac_hex: " + (log.final_hmac_hex ? quoted(*log.final_hmac_hex) : std::string("None")) +
                    " }, violation: " + (report.violation ? violation_text(*report.violation) : "None") +
                    ", additional_violations: [";
  for (std::size_t i = 0; i < report.additional_violations.size(); ++i) {
    if (i != 0) out += ", ";
    out += violation_text(report.additional_violations[i]);
  }
  return out + "] }";
}

namespace violations {

Violation hmac_mismatch(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset, std::string expected_hex,
                        std::string actual_hex, std::uint64_t payload_len) {
  return make(ViolationKind::kHmacMismatch, segment, record_id, offset,
              evidence::HmacMismatch{std::move(expected_hex), std::move(actual_hex), payload_len, offset + 4},
              "HMAC mismatch at " + pos(segment, record_id) + ": stored hmac does not match HMAC over payload bytes");
}

Violation chain_break(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset, std::string expected_hex,
                      std::string actual_hex) {
  const bool genesis = segment == 0 && record_id == 0;
  std::optional<std::uint64_t> preceding;
  // The first record of a later segment names 0, not the finalization record before it.
  if (!genesis) preceding = record_id == 0 ? 0 : record_id - 1;
  return make(ViolationKind::kChainBreak, segment, record_id, offset,
              evidence::ChainBreak{std::move(expected_hex), std::move(actual_hex), preceding, genesis},
              "Chain break at " + pos(segment, record_id) + ": stored prev_hash does not equal the preceding HMAC");
}

Violation torn_tail(std::uint16_t segment, std::uint64_t offset) {
  return make(ViolationKind::kRecordCorrupt, segment, std::nullopt, offset,
              evidence::RecordCorrupt{evidence::TornTail{}},
              "Torn tail at segment " + num(std::uint64_t{segment}) + " offset " + num(offset) +
                  " (partial write \u2014 recoverable by R5)");
}

Violation decode_error(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset, std::string message) {
  std::string text = message;
  return make(ViolationKind::kRecordCorrupt, segment, record_id, offset,
              evidence::RecordCorrupt{evidence::DecodeError{std::move(message)}}, std::move(text));
}

Violation timestamp_regression(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset,
                               std::string current_ts_wall, std::int64_t preceding_ms, std::int64_t delta_ms,
                               bool across_sessions) {
  std::string message = "ts_wall regressed " + num(delta_ms) + " ms at " + pos(segment, record_id);
  return make(
      ViolationKind::kTimestampRegression, segment, record_id, offset,
      evidence::TimestampRegression{std::move(current_ts_wall), "(parsed: " + num(preceding_ms) + " ms since epoch)",
                                    delta_ms, across_sessions},
      std::move(message));
}

Violation segment_discontinuity(std::uint16_t segment, std::string expected_hex, std::string actual_hex) {
  // Always names the index before this one, even when a lower one was walked last.
  const std::uint16_t preceding = segment == 0 ? 0 : static_cast<std::uint16_t>(segment - 1);
  std::string message = "Segment " + num(std::uint64_t{segment}) + " prev_final does not match segment " +
                        num(std::uint64_t{preceding}) + " final";
  std::string preceding_hex = expected_hex;
  return make(ViolationKind::kSegmentDiscontinuity, segment, std::nullopt, kHeaderPrevFinalOffset,
              evidence::SegmentDiscontinuity{std::move(expected_hex), std::move(actual_hex), preceding,
                                             std::move(preceding_hex)},
              std::move(message));
}

Violation header_key_id_mismatch(std::uint16_t segment, std::string header_key_id_hex,
                                 std::string verifier_key_id_hex) {
  return make(ViolationKind::kKeyIdMismatch, segment, std::nullopt, kHeaderKeyIdOffset,
              evidence::KeyIdMismatch{std::move(header_key_id_hex), std::move(verifier_key_id_hex)},
              "Segment " + num(std::uint64_t{segment}) + " header key_id does not match verifier's key");
}

Violation record_key_id_mismatch(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset,
                                 std::string header_key_id_hex, std::string record_key_id_hex) {
  return make(ViolationKind::kKeyIdMismatch, segment, record_id, offset,
              evidence::KeyIdMismatch{std::move(header_key_id_hex), std::move(record_key_id_hex)},
              "Record " + pos(segment, record_id) + " key_id does not match segment header key_id");
}

Violation bad_magic(std::uint16_t segment, const std::uint8_t magic[4]) {
  return make(ViolationKind::kHeaderCorrupt, segment, std::nullopt, kHeaderMagicOffset,
              evidence::HeaderCorrupt{evidence::BadMagic{to_hex(four(magic))}},
              "Segment " + num(std::uint64_t{segment}) + " bad magic: " + detail::bracketed_decimal(four(magic)));
}

Violation crc_mismatch(std::uint16_t segment, std::uint32_t computed, std::uint32_t stored) {
  return make(ViolationKind::kHeaderCorrupt, segment, std::nullopt, kHeaderCrcOffset,
              evidence::HeaderCorrupt{evidence::CrcMismatch{computed, stored}},
              "Segment " + num(std::uint64_t{segment}) + " header CRC mismatch: stored 0x" + detail::hex8(stored) +
                  ", computed 0x" + detail::hex8(computed));
}

Violation reserved_nonzero(std::uint16_t segment, const std::uint8_t reserved[4]) {
  return make(ViolationKind::kHeaderCorrupt, segment, std::nullopt, kHeaderReservedOffset,
              evidence::HeaderCorrupt{evidence::ReservedBytesNonZero{to_hex(four(reserved))}},
              "Segment " + num(std::uint64_t{segment}) +
                  " reserved header bytes [76..80] are not zero: " + detail::bracketed_decimal(four(reserved)));
}

Violation header_truncated(std::uint16_t segment, std::string io_message) {
  std::string message = "Segment " + num(std::uint64_t{segment}) + " header unreadable: " + io_message;
  return make(ViolationKind::kHeaderCorrupt, segment, std::nullopt, 0,
              evidence::HeaderCorrupt{evidence::Truncated{std::move(io_message)}}, std::move(message));
}

Violation unknown_version(std::uint16_t segment, std::uint16_t version) {
  return make(ViolationKind::kUnknownVersion, segment, std::nullopt, kHeaderVersionOffset,
              evidence::UnknownVersion{version, {kFormatVersion}},
              "Segment " + num(std::uint64_t{segment}) + " declares version " + num(std::uint64_t{version}) +
                  "; supported " + num(std::uint64_t{kFormatVersion}));
}

Violation checkpoint_mismatch(std::uint16_t segment, std::uint64_t record_id, std::uint64_t offset,
                              std::string checkpoint_hmac_hex, std::string actual_hmac_hex, std::string observed_at) {
  std::string message = "Checkpoint mismatch at " + pos(segment, record_id) +
                        ": record differs from the head observed at " + observed_at + " \u2014 history was rewritten";
  return make(
      ViolationKind::kCheckpointMismatch, segment, record_id, offset,
      evidence::CheckpointMismatch{std::move(checkpoint_hmac_hex), std::move(actual_hmac_hex), std::move(observed_at)},
      std::move(message));
}

Violation checkpoint_truncated(std::uint16_t segment, std::uint64_t record_id, std::string checkpoint_hmac_hex,
                               std::string observed_at, std::optional<std::uint16_t> last_segment_index,
                               std::uint64_t records_inspected) {
  std::string message = "Checkpoint truncated: " + pos(segment, record_id) + " observed at " + observed_at +
                        ", is absent from this log \u2014 history was cut";
  return make(ViolationKind::kCheckpointTruncated, segment, record_id, 0,
              evidence::CheckpointTruncated{std::move(checkpoint_hmac_hex), std::move(observed_at), last_segment_index,
                                            records_inspected},
              std::move(message));
}

}  // namespace violations

}  // namespace corvane
