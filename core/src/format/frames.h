// Frames, and the window segment files are read through. Whether the bytes
// at an offset hold a whole frame, one that the end of the file cuts off, or
// one no writer makes is decided here alone; the reader, recovery and the
// verifier each say what that means in their own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <utility>

#include "corvane/cbor.h"
#include "corvane/errors.h"
#include "corvane/format.h"
#include "corvane/io.h"

namespace corvane {

enum class FrameStatus : std::uint8_t {
  kComplete,   // in bounds, inside the file, and its two lengths agree
  kTorn,       // the file ends inside the frame (or inside its length field)
  kBadLength,  // a length beyond MAX_RECORD_LEN, or a trailing length that differs
  kNeedBytes,  // the bytes at hand end first: `size` bytes from the offset decide
};

struct Frame {
  FrameStatus status = FrameStatus::kTorn;
  std::uint64_t size = 0;             // kComplete: the frame's length; kNeedBytes: the bytes wanted
  ByteView record{};                  // kComplete: the L record bytes, inside the bytes given
  const std::uint8_t* mac = nullptr;  // kComplete: 32 bytes, inside the bytes given

  bool complete() const { return status == FrameStatus::kComplete; }
};

// The frame at some offset of a file, from `bytes` (the file's bytes from
// that offset on, as many as are at hand) and `left` (the file's length
// past that offset). Nothing beyond MAX_RECORD_LEN is ever asked for, so a
// hostile length never decides an allocation.
inline Frame parse_frame(ByteView bytes, std::uint64_t left) {
  if (left < kFrameLenField) return Frame{.status = FrameStatus::kTorn};
  if (bytes.size() < kFrameLenField) return Frame{.status = FrameStatus::kNeedBytes, .size = kFrameLenField};
  const std::uint32_t len = load_u32le(bytes.data());
  if (len > MAX_RECORD_LEN) return Frame{.status = FrameStatus::kBadLength};
  const std::uint64_t size = std::uint64_t{len} + kFrameOverhead;
  if (left < size) return Frame{.status = FrameStatus::kTorn};
  if (bytes.size() < size) return Frame{.status = FrameStatus::kNeedBytes, .size = size};
  const std::uint8_t* record = bytes.data() + kFrameLenField;
  if (load_u32le(record + len + kMacLen) != len) return Frame{.status = FrameStatus::kBadLength};
  return Frame{FrameStatus::kComplete, size, ByteView(record, len), record + len};
}

namespace detail {

// Memory whose start is aligned as O_DIRECT transfers need it.
class AlignedBuffer {
 public:
  static constexpr std::size_t kAlign = 4096;
  // Room for at least `n` bytes (contents are not kept); false when out of
  // memory. It grows at least twofold up to a window and its alignment, so a
  // window that follows a growing file is seldom reallocated.
  [[nodiscard]] bool reserve(std::size_t n);
  std::uint8_t* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept;
  };
  std::unique_ptr<std::uint8_t[], Free> data_;
  std::size_t capacity_ = 0;
};

// An open file read through one reused buffer, refilled from the requested
// offset whenever a range falls outside it, so a walk over many small frames
// costs one read per window, not one per frame. Reads are bounded by the
// size the window was last told, so a small file costs a small buffer.
//
// Given `uncached`, the same file opened with O_DIRECT, every read goes
// through it, widened to aligned blocks: after a failed sync the page cache
// may hold bytes the disk never got, and recovery must build on what the
// disk holds. A file system that refuses such a read (EINVAL) is read
// plainly from then on.
class FileWindow {
 public:
  static constexpr std::size_t kSize = std::size_t{1} << 20;

  FileWindow(File file, std::uint64_t file_size, File uncached = File())
      : file_(std::move(file)), uncached_(std::move(uncached)), direct_(uncached_.is_open()), size_(file_size) {}

  const File& file() const { return file_; }
  // The size reads and frames are judged against.
  std::uint64_t file_size() const { return size_; }
  // Takes the file's size afresh.
  [[nodiscard]] std::expected<std::uint64_t, IoError> refresh_size();

  // The bytes [offset, offset + len), read when not at hand; the file
  // holding fewer is IoError::unexpected_eof(). The view stays valid until
  // the next call that reads.
  [[nodiscard]] std::expected<ByteView, IoError> get(std::uint64_t offset, std::size_t len);
  // Exactly out.size() bytes at `offset`, leaving the window as it is.
  [[nodiscard]] std::expected<void, IoError> read(std::uint64_t offset, std::span<std::uint8_t> out);
  // The frame at `offset`, judged against file_size(); never kNeedBytes.
  [[nodiscard]] std::expected<Frame, IoError> frame(std::uint64_t offset);

  // Whether reads still bypass the page cache.
  bool uncached() const { return direct_; }

 private:
  // The bytes from `offset` to the end of the window; empty outside it.
  ByteView at_hand(std::uint64_t offset) const {
    if (offset < start_ || offset - start_ >= len_) return {};
    return ByteView(buf_.data() + (offset - start_), len_ - static_cast<std::size_t>(offset - start_));
  }
  // At least `len` bytes from `offset` (up to `want`) into `buf`: the
  // buffer's first byte is file offset `*start`, and `*got` bytes are valid.
  std::expected<void, IoError> fill(AlignedBuffer& buf, std::uint64_t offset, std::size_t len, std::size_t want,
                                    std::uint64_t* start, std::size_t* got);

  File file_;
  File uncached_;
  bool direct_ = false;
  std::uint64_t size_;
  AlignedBuffer buf_;
  AlignedBuffer scratch_;  // for read()
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
};

inline std::expected<Frame, IoError> FileWindow::frame(std::uint64_t offset) {
  const std::uint64_t left = offset < size_ ? size_ - offset : 0;
  // Most frames lie whole in the window; a frame that does not is read
  // from its own offset, in at most two steps (its length, then the rest).
  Frame f = parse_frame(at_hand(offset), left);
  while (f.status == FrameStatus::kNeedBytes) {
    if (auto got = get(offset, static_cast<std::size_t>(f.size)); !got) return std::unexpected(got.error());
    f = parse_frame(at_hand(offset), left);
  }
  return f;
}

}  // namespace detail

}  // namespace corvane
