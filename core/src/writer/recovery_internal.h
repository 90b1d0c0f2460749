// Pieces of the recovery scan that tests reach directly: the narrow record
// view and the look past a damaged frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "corvane/cbor.h"
#include "corvane/io.h"
#include "corvane/key.h"
#include "corvane/writer.h"
#include "format/frames.h"

namespace corvane::detail {

// Whether every byte from `offset` to the end of the file is zero: what some
// file systems leave at the end of a file after a power loss.
[[nodiscard]] std::expected<bool, IoError> zero_to_end(FileWindow& window, std::uint64_t offset);

// The search past a damaged frame computes MACs over at most this many
// times the bytes from the damaged frame to the end of the file.
inline constexpr std::uint64_t kTailSearchMacFactor = 4;

enum class TailSearch : std::uint8_t {
  kNoIntactFrame,
  kIntactFrame,
  kGaveUp,  // the MAC bound was reached first: nothing is known
};

// Whether a frame whose MAC verifies under `key` starts at any offset in
// (offset, size - 40], in offset order. Framing (length bound, trailing
// length, the record's map head) is tested before any MAC is computed; a
// candidate whose MAC would pass the bound ends the search with kGaveUp.
[[nodiscard]] std::expected<TailSearch, IoError> intact_frame_after(FileWindow& window, std::uint64_t offset,
                                                                    const Key& key);

// scan_segment_for_recovery in the open directory `dir`; with `cut` false a
// torn tail is measured but left in place.
[[nodiscard]] std::expected<RecoveryScan, WriterError> scan_segment(const File& dir, std::uint16_t index,
                                                                    const KeyHandle& key, bool cut);

// A last segment that an interrupted creation left (earlier versions wrote
// the header in place): to be created again, never refused.
struct Remnant {
  Mac prev_final{};             // for the header of the segment made again
  std::uint64_t discarded = 0;  // its bytes, and any stray bytes cut after the finalized one before it
};

// Whether the last segment of `indices` (ascending, not empty) is a
// remnant: at most 80 bytes that are all zero, or fewer than 80 that begin
// the very header the writer would write there, with the segment before it
// (if any) present and finalized. Stray bytes after that finalization are cut
// when, and only when, the answer is yes.
[[nodiscard]] std::expected<std::optional<Remnant>, WriterError> creation_remnant(
    const File& dir, std::span<const std::uint16_t> indices, const KeyHandle& key);

// The ts_wall of the last record of segment `index`, read from its final
// frame when that frame's MAC verifies under `key` and equals `final_mac`
// (the prev_final of the segment after it); nullopt when it cannot be read
// that way, for whatever reason. Only the final frame is read, and opening
// the file never blocks.
[[nodiscard]] std::optional<std::string> final_ts_wall(const File& dir, std::uint16_t index, const Mac& final_mac,
                                                       const Key& key);

// The fields recovery needs from a record already checked to be one
// canonical CBOR item; the error is the fixed reason text.
[[nodiscard]] std::expected<RecoveryRecordView, std::string> parse_recovery_view(ByteView record);

}  // namespace corvane::detail
