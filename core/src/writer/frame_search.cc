// Reading the tail of the last segment: the window the scan reads through,
// and the two looks past a damaged frame that tell a torn tail from damage
// in the middle of the log.
#include <algorithm>
#include <array>
#include <cerrno>
#include <new>

#include "writer/recovery_internal.h"

namespace corvane::detail {

void AlignedBuffer::Free::operator()(std::uint8_t* p) const noexcept {
  ::operator delete[](p, std::align_val_t{kAlign});
}

bool AlignedBuffer::reserve(std::size_t n) {
  if (n <= capacity_) return true;
  data_.reset();
  capacity_ = 0;
  const std::size_t rounded = (n + kAlign - 1) / kAlign * kAlign;
  data_.reset(static_cast<std::uint8_t*>(::operator new[](rounded, std::align_val_t{kAlign}, std::nothrow)));
  if (!data_) return false;
  capacity_ = rounded;
  return true;
}

std::expected<void, IoError> FileWindow::fill(AlignedBuffer& buf, std::uint64_t offset, std::size_t len,
                                              std::size_t want, std::uint64_t* start, std::size_t* got) {
  constexpr std::uint64_t kAlign = AlignedBuffer::kAlign;
  if (uncached_ != nullptr) {
    const std::uint64_t from = offset / kAlign * kAlign;
    const std::uint64_t to = (offset + want + kAlign - 1) / kAlign * kAlign;
    const auto n = static_cast<std::size_t>(to - from);
    if (!buf.reserve(n)) return std::unexpected(IoError::from_errno(ENOMEM));
    auto r = read_at(*uncached_, from, std::span(buf.data(), n));
    if (r) {
      if (*r < offset - from + len) return std::unexpected(IoError::unexpected_eof());
      *start = from;
      *got = *r;
      return {};
    }
    if (r.error() != IoError::from_errno(EINVAL)) return std::unexpected(r.error());
    uncached_ = nullptr;  // refused here: read through the page cache
  }
  if (!buf.reserve(want)) return std::unexpected(IoError::from_errno(ENOMEM));
  if (auto r = read_exact_at(file_, offset, std::span(buf.data(), want)); !r) return std::unexpected(r.error());
  *start = offset;
  *got = want;
  return {};
}

std::expected<ByteView, IoError> FileWindow::get(std::uint64_t offset, std::size_t len) {
  if (len_ != 0 && offset >= start_ && offset - start_ <= len_ && len <= len_ - (offset - start_)) {
    return ByteView(buf_.data() + (offset - start_), len);
  }
  const std::size_t want = std::max<std::size_t>(len, std::min<std::uint64_t>(kSize, size_ - offset));
  len_ = 0;
  if (auto r = fill(buf_, offset, len, want, &start_, &len_); !r) {
    len_ = 0;
    return std::unexpected(r.error());
  }
  return ByteView(buf_.data() + (offset - start_), len);
}

std::expected<void, IoError> FileWindow::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  std::uint64_t start = 0;
  std::size_t got = 0;
  if (auto r = fill(scratch_, offset, out.size(), out.size(), &start, &got); !r) return r;
  std::copy_n(scratch_.data() + (offset - start), out.size(), out.begin());
  return {};
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
std::expected<bool, IoError> frames_at(FileWindow& window, ByteView block, std::uint64_t block_start,
                                       std::uint64_t q, std::uint32_t len) {
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
      const std::uint32_t len = load_u32le(block->data() + (q - p));
      if (len == 0 || len > MAX_RECORD_LEN || len > size - q - kFrameOverhead) continue;
      auto frames = frames_at(window, *block, p, q, len);
      if (!frames) return std::unexpected(frames.error());
      if (!*frames) continue;
      if (len > budget) return TailSearch::kGaveUp;
      budget -= len;
      candidate.resize(std::size_t{len} + kMacLen);
      if (auto r = window.read(q + kFrameLenField, candidate); !r) return std::unexpected(r.error());
      Mac stored;
      std::copy_n(candidate.begin() + len, kMacLen, stored.begin());
      if (ct_equal(key.mac(ByteView(candidate.data(), len)), stored)) return TailSearch::kIntactFrame;
    }
    p = last + 1;
  }
  return TailSearch::kNoIntactFrame;
}

}  // namespace corvane::detail
