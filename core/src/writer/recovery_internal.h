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

namespace corvane::detail {

// A read window over an open file of known size: one reused buffer that is
// refilled from the requested offset whenever a range falls outside it, so a
// walk over many small frames costs one read per window, not per frame.
class FileWindow {
 public:
  static constexpr std::size_t kSize = std::size_t{1} << 20;

  FileWindow(const File& file, std::uint64_t file_size) : file_(file), size_(file_size) {}

  // The bytes [offset, offset + len); the range must lie inside the file.
  // The view stays valid until the next call.
  [[nodiscard]] std::expected<ByteView, IoError> get(std::uint64_t offset, std::size_t len);

  std::uint64_t file_size() const { return size_; }
  const File& file() const { return file_; }

 private:
  const File& file_;
  std::uint64_t size_;
  Bytes buf_;
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
};

// Whether every byte from `offset` to the end of the file is zero: what some
// file systems leave at the end of a file after a power loss.
[[nodiscard]] std::expected<bool, IoError> zero_to_end(FileWindow& window, std::uint64_t offset);

// Whether a frame whose MAC verifies under `key` starts at any offset in
// (offset, size - 40]. Framing (length bound, trailing length, the record's
// map head) is tested before any MAC is computed.
[[nodiscard]] std::expected<bool, IoError> intact_frame_after(FileWindow& window, std::uint64_t offset,
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

// The fields recovery needs from a record already checked to be one
// canonical CBOR item; the error is the fixed reason text.
[[nodiscard]] std::expected<RecoveryRecordView, std::string> parse_recovery_view(ByteView record);

}  // namespace corvane::detail
