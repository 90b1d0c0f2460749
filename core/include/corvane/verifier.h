// Verification with the key: walks every segment and frame, recomputes each
// MAC, follows the chain across segments, checks key ids and timestamps and
// compares against an optional checkpoint. Damage is reported in the
// VerifyReport; only a log that cannot be read at all is an error.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "corvane/errors.h"
#include "corvane/format.h"
#include "corvane/key.h"
#include "corvane/report.h"

namespace corvane {

// A chain head exported earlier, pinning (segment, record_id) to a MAC.
struct Checkpoint {
  std::uint16_t segment = 0;
  std::uint64_t record_id = 0;
  Mac hmac{};
  KeyId key_id{};
  std::string observed_at;
};

struct VerifyOptions {
  std::optional<Checkpoint> checkpoint;
  bool forensic = false;
};

// Where the final chain head came from: the last record of the last segment
// walked to its end, if that segment held any record.
struct VerifiedHead {
  std::uint16_t segment = 0;
  std::optional<std::uint64_t> record_id;
  std::uint64_t byte_offset = 0;  // of that record's frame, when there is one
};

[[nodiscard]] std::expected<VerifyReport, VerifyError> verify(const std::string& dir, const KeyHandle& key,
                                                              const VerifyOptions& options = {},
                                                              VerifiedHead* head = nullptr);

// ts_wall to milliseconds since 1970-01-01T00:00:00.000 (proleptic
// Gregorian); 0 unless the text is exactly 24 bytes.
std::int64_t ts_wall_to_ms(std::string_view ts_wall);
// A record may be stamped up to this much earlier than the one before it
// (clock adjustments); more is a TimestampRegression. The writer refuses
// such a record by the same rule.
inline constexpr std::int64_t kMaxTimestampStepBackMs = 60000;

// The fields of a checkpoint pinning the head of a log that verifies.
struct CheckpointFields {
  std::string key_id_hex;
  std::uint16_t segment = 0;
  std::uint64_t record_id = 0;
  std::string hmac_hex;
};

struct CheckpointError {
  enum class Kind : std::uint8_t {
    kVerify,       // the verifier could not run: `verify`
    kNotVerified,  // the log does not verify: `message` is the first violation's
    kEmpty,        // nothing to checkpoint
    kNoRecords,    // the last segment holds no record: `segment`
    kReadHead,     // the head record passes its MAC but not the reader: `reader`
  };
  Kind kind = Kind::kVerify;
  VerifyError verify;
  ReaderError reader;
  std::optional<std::string> message;
  std::uint16_t segment = 0;
};

// Verifies the log (default mode, no checkpoint) and returns its head.
[[nodiscard]] std::expected<CheckpointFields, CheckpointError> create_checkpoint(const std::string& dir,
                                                                                 const KeyHandle& key);

}  // namespace corvane
