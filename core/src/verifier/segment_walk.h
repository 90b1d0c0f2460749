// One segment's walk: its header checks, continuity with the segment walked
// before, and its frames. The verifier runs it for every listed segment.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "corvane/format.h"
#include "corvane/key.h"
#include "corvane/report.h"
#include "corvane/verifier.h"

namespace corvane::detail {

std::string hex(std::span<const std::uint8_t> bytes);

class Walk {
 public:
  Walk(const std::string& dir, const Key& key, const VerifyOptions& options)
      : dir_(dir), key_(key), key_id_(key.key_id()), options_(options) {}

  VerifyReport report;
  std::optional<Mac> previous_final;
  VerifiedHead head;

  // Walks one segment; false when the walk must stop here.
  std::expected<bool, VerifyError> segment(std::uint16_t index);

  bool checkpoint_found() const { return checkpoint_found_; }

 private:
  bool add(Violation v) { return report.add_violation(std::move(v), options_.forensic); }

  const std::string& dir_;
  const Key& key_;
  const KeyId& key_id_;
  const VerifyOptions& options_;
  std::optional<std::int64_t> previous_time_;
  SessionId previous_session_{};
  bool checkpoint_found_ = false;
};

}  // namespace corvane::detail
