// The two looks past a damaged frame that tell a torn tail from damage in
// the middle of the log.
#include <algorithm>
#include <array>

#include "writer/recovery_internal.h"

namespace corvane::detail {

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

// Whether the frame at `q`, whose length is in bounds and fits the file,
// is worth reading whole: its record starts like a record and its trailing
// length agrees. Both bytes come from `block` when they lie inside it, else
// straight from the file (leaving the window alone).
std::expected<bool, IoError> frames_at(FileWindow& window, ByteView block, std::uint64_t block_start, std::uint64_t q,
                                       std::uint32_t len) {
  const std::uint64_t first_at = q + kFrameLenField;
  const std::uint64_t trailer_at = first_at + len + kMacLen;
  const std::uint64_t block_end = block_start + block.size();
  std::array<std::uint8_t, 4> raw{};
  if (first_at < block_end) {
    raw[0] = block[first_at - block_start];
  } else if (auto r = window.read(first_at, std::span(raw.data(), 1)); !r) {
    return std::unexpected(r.error());
  }
  if (raw[0] != kRecordMapHead) return false;
  if (trailer_at + 4 <= block_end) {
    std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(trailer_at - block_start), 4, raw.begin());
  } else if (auto r = window.read(trailer_at, raw); !r) {
    return std::unexpected(r.error());
  }
  return load_u32le(raw.data()) == len;
}

}  // namespace

std::expected<TailSearch, IoError> intact_frame_after(FileWindow& window, std::uint64_t offset, const Key& key) {
  const std::uint64_t size = window.file_size();
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
      // Only a length that is in bounds and fits the file asks for more.
      const Frame head = parse_frame(block->subspan(q - p, kFrameLenField), size - q);
      if (head.status != FrameStatus::kNeedBytes || head.size == kFrameOverhead) continue;
      const auto len = static_cast<std::uint32_t>(head.size - kFrameOverhead);
      auto frames = frames_at(window, *block, p, q, len);
      if (!frames) return std::unexpected(frames.error());
      if (!*frames) continue;
      if (len > budget) return TailSearch::kGaveUp;
      budget -= len;
      candidate.resize(static_cast<std::size_t>(head.size));
      if (auto r = window.read(q, candidate); !r) return std::unexpected(r.error());
      const Frame frame = parse_frame(candidate, size - q);
      if (!frame.complete()) continue;
      Mac stored;
      std::copy_n(frame.mac, kMacLen, stored.begin());
      if (ct_equal(key.mac(frame.record), stored)) return TailSearch::kIntactFrame;
    }
    p = last + 1;
  }
  return TailSearch::kNoIntactFrame;
}

}  // namespace corvane::detail
