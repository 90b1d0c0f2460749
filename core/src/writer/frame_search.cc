// Reading the tail of the last segment: the window the scan reads through,
// and the two looks past a damaged frame that tell a torn tail from damage
// in the middle of the log.
#include <algorithm>
#include <array>

#include "writer/recovery_internal.h"

namespace corvane::detail {

std::expected<ByteView, IoError> FileWindow::get(std::uint64_t offset, std::size_t len) {
  if (len_ != 0 && offset >= start_ && offset - start_ <= len_ && len <= len_ - (offset - start_)) {
    return ByteView(buf_.data() + (offset - start_), len);
  }
  const std::size_t want = std::max<std::size_t>(len, std::min<std::uint64_t>(kSize, size_ - offset));
  if (buf_.size() < want) buf_.resize(want);
  len_ = 0;
  if (auto r = read_exact_at(file_, offset, std::span(buf_.data(), want)); !r) {
    return std::unexpected(r.error());
  }
  start_ = offset;
  len_ = want;
  return ByteView(buf_.data(), len);
}

std::expected<bool, IoError> zero_to_end(FileWindow& window, std::uint64_t offset) {
  const std::uint64_t size = window.file_size();
  while (offset < size) {
    const std::size_t n = std::min<std::uint64_t>(FileWindow::kSize, size - offset);
    auto view = window.get(offset, n);
    if (!view) return std::unexpected(view.error());
    if (std::any_of(view->begin(), view->end(), [](std::uint8_t b) { return b != 0; })) return false;
    offset += n;
  }
  return true;
}

namespace {

// A candidate frame at `q`: its length is in bounds and fits the file.
// Reads the first record byte and the trailing length from `block` when they
// lie inside it, else straight from the file (leaving the window alone).
std::expected<bool, IoError> frames_at(const File& file, ByteView block, std::uint64_t block_start,
                                       std::uint64_t q, std::uint32_t len) {
  const std::uint64_t first_at = q + kFrameLenField;
  const std::uint64_t trailer_at = first_at + len + kMacLen;
  const std::uint64_t block_end = block_start + block.size();
  std::array<std::uint8_t, 4> raw{};
  if (first_at < block_end) {
    raw[0] = block[first_at - block_start];
  } else if (auto r = read_exact_at(file, first_at, std::span(raw.data(), 1)); !r) {
    return std::unexpected(r.error());
  }
  if (raw[0] != kRecordMapHead) return false;
  if (trailer_at + 4 <= block_end) {
    std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(trailer_at - block_start), 4, raw.begin());
  } else if (auto r = read_exact_at(file, trailer_at, raw); !r) {
    return std::unexpected(r.error());
  }
  return load_u32le(raw.data()) == len;
}

}  // namespace

std::expected<TailSearch, IoError> intact_frame_after(FileWindow& window, std::uint64_t offset, const Key& key) {
  const std::uint64_t size = window.file_size();
  const File& file = window.file();
  // Crafted bytes can frame at almost every offset with a length close to
  // the rest of the file; without a bound that costs a MAC over the tail per
  // byte of it. A real torn tail holds at most a frame or two.
  std::uint64_t budget = kTailSearchMacFactor * (size - offset);
  Bytes candidate;
  std::uint64_t p = offset + 1;
  while (p <= size && size - p >= kFrameOverhead) {
    const std::size_t n = std::min<std::uint64_t>(FileWindow::kSize, size - p);
    auto block = window.get(p, n);
    if (!block) return std::unexpected(block.error());
    // Last offset whose length field lies in this block and whose frame
    // could still fit the file; the next block starts right after it.
    const std::uint64_t last = std::min<std::uint64_t>(size - kFrameOverhead, p + n - kFrameLenField);
    for (std::uint64_t q = p; q <= last; ++q) {
      const std::uint32_t len = load_u32le(block->data() + (q - p));
      if (len == 0 || len > MAX_RECORD_LEN || len > size - q - kFrameOverhead) continue;
      auto frames = frames_at(file, *block, p, q, len);
      if (!frames) return std::unexpected(frames.error());
      if (!*frames) continue;
      if (len > budget) return TailSearch::kGaveUp;
      budget -= len;
      candidate.resize(std::size_t{len} + kMacLen);
      if (auto r = read_exact_at(file, q + kFrameLenField, candidate); !r) return std::unexpected(r.error());
      Mac stored;
      std::copy_n(candidate.begin() + len, kMacLen, stored.begin());
      if (ct_equal(key.mac(ByteView(candidate.data(), len)), stored)) return TailSearch::kIntactFrame;
    }
    p = last + 1;
  }
  return TailSearch::kNoIntactFrame;
}

}  // namespace corvane::detail
