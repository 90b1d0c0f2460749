// One segment's walk and the join that folds walks into a report, in segment
// order. A segment's chain starts from its own header, so segments can be
// walked apart (on other threads) and joined afterwards; only continuity and
// the timestamp of a segment's first record depend on the segments before,
// and the join alone decides those when the walk could not.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "corvane/format.h"
#include "corvane/key.h"
#include "corvane/report.h"
#include "corvane/verifier.h"
#include "corvane/verify_span.h"

namespace corvane::detail {

std::string hex(std::span<const std::uint8_t> bytes);

// What the segments walked so far hand to the next one.
struct Carry {
  std::optional<Mac> previous_final;          // head of the last segment walked to its end
  std::optional<std::int64_t> previous_time;  // of the last record that passed every check
  SessionId previous_session{};
};

// Shared by every walk of one verification; read-only while walks run.
struct WalkContext {
  const std::string& dir;
  const Key& key;
  const KeyId& key_id;
  const VerifyOptions& options;       // options.checkpoint is also the pin of an incremental walk
  std::uint64_t* progress = nullptr;  // two relaxed counters: bytes walked, segments done
};

// Where a segment's walk begins.
struct WalkStart {
  // Incremental: skip to the record options.checkpoint pins (its framing
  // only, or straight to `pin_offset` when that frame holds it) and trust
  // it as the chain head instead of checking its prev_hash.
  bool pinned = false;
  std::optional<std::uint64_t> pin_offset;
  // Live: the segment ends at this size; a frame cut by it is pending.
  bool horizon = false;
};

// What one segment contributed. A walk stops at its segment's first violation.
struct SegmentWalk {
  std::uint16_t index = 0;
  WalkStart start;
  std::uint64_t records = 0;  // frames read whole
  std::optional<Violation> violation;
  std::optional<VerifyError> error;         // the whole verification fails, unless the join discards the walk
  std::optional<Mac> prev_final;            // the header's, once its checks passed
  bool complete = false;                    // walked to its end (or horizon) without a violation
  Mac head{};                               // chain head at the end, when complete
  std::optional<RecordPosition> last;       // the last record that passed every check
  std::optional<RecordPosition> pinned_at;  // the pinned record, once it passed every check
  std::optional<std::int64_t> first_time;   // unchecked time of the first record (walks without a carry)
  std::optional<std::int64_t> last_time;
  SessionId last_session{};
  std::optional<std::string> first_ts_wall, last_ts_wall;
  bool checkpoint_found = false;
  std::uint64_t pending = 0;  // bytes of a frame cut by the horizon
};

// Walks segment `index`. With `carry`, continuity and the first record's
// timestamp are checked here; without it (a walk apart from the others) they
// are left to the join.
SegmentWalk walk_segment(const WalkContext& ctx, std::uint16_t index, const Carry* carry, WalkStart start = {});

// Folds walks into `report` in segment order, applying the rules that span
// segments; everything a report says about more than one segment is decided
// here.
class Join {
 public:
  Join(const WalkContext& ctx, VerifyReport& report) : ctx_(ctx), report_(report) {}

  // Folds the next segment's walk. A walk made without the carry is first
  // held against it: a discontinuity replaces its findings; a first record
  // older than the carry allows is walked again with the carry, so it is
  // reported where the sequential walk would report it. False when the
  // verification stops here.
  std::expected<bool, VerifyError> take(SegmentWalk walk, bool walked_apart);
  // After the last segment: the final head and the checkpoint's truncation.
  void finish();

  const Carry& carry() const { return carry_; }
  VerifiedHead head;  // of the last segment walked to its end
  VerifySpan span;

 private:
  const WalkContext& ctx_;
  VerifyReport& report_;
  Carry carry_;
  bool checkpoint_found_ = false;
};

// The verification behind verify() and verify_span(); `head`, when given,
// receives the head of the last segment walked to its end.
std::expected<SpanReport, VerifyError> run_verification(const std::string& dir, const KeyHandle& key,
                                                        const SpanOptions& options, VerifiedHead* head);

}  // namespace corvane::detail
