#include "format/frames.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace corvane::detail {

namespace {

// A window widened to aligned blocks at both ends.
constexpr std::size_t kGrowLimit = FileWindow::kSize + 2 * AlignedBuffer::kAlign;

}  // namespace

void AlignedBuffer::Free::operator()(std::uint8_t* p) const noexcept {
  ::operator delete[](p, std::align_val_t{kAlign});
}

bool AlignedBuffer::reserve(std::size_t n) {
  if (n <= capacity_) return true;
  const std::size_t target = std::max(n, std::min(2 * capacity_, kGrowLimit));
  const std::size_t rounded = (target + kAlign - 1) / kAlign * kAlign;
  data_.reset();
  capacity_ = 0;
  data_.reset(static_cast<std::uint8_t*>(::operator new[](rounded, std::align_val_t{kAlign}, std::nothrow)));
  if (!data_) return false;
  capacity_ = rounded;
  return true;
}

std::expected<std::uint64_t, IoError> FileWindow::refresh_size() {
  auto size = corvane::file_size(file_);
  if (!size) return std::unexpected(size.error());
  size_ = *size;
  return size_;
}

std::expected<void, IoError> FileWindow::fill(AlignedBuffer& buf, std::uint64_t offset, std::size_t len,
                                              std::size_t want, std::uint64_t* start, std::size_t* got) {
  constexpr std::uint64_t kAlign = AlignedBuffer::kAlign;
  if (direct_) {
    const std::uint64_t from = offset / kAlign * kAlign;
    const std::uint64_t to = (offset + want + kAlign - 1) / kAlign * kAlign;
    const auto n = static_cast<std::size_t>(to - from);
    if (!buf.reserve(n)) return std::unexpected(IoError::from_errno(ENOMEM));
    auto r = read_at(uncached_, from, std::span(buf.data(), n));
    if (r) {
      if (*r < offset - from + len) return std::unexpected(IoError::unexpected_eof());
      *start = from;
      *got = *r;
      return {};
    }
    if (r.error() != IoError::from_errno(EINVAL)) return std::unexpected(r.error());
    direct_ = false;  // refused here: read through the page cache
  }
  if (!buf.reserve(want)) return std::unexpected(IoError::from_errno(ENOMEM));
  auto r = read_at(file_, offset, std::span(buf.data(), want));
  if (!r) return std::unexpected(r.error());
  // A file that shrank since its size was taken may still hold what is asked.
  if (*r < len) return std::unexpected(IoError::unexpected_eof());
  *start = offset;
  *got = *r;
  return {};
}

std::expected<ByteView, IoError> FileWindow::get(std::uint64_t offset, std::size_t len) {
  if (len_ != 0 && offset >= start_ && offset - start_ <= len_ && len <= len_ - (offset - start_)) {
    return ByteView(buf_.data() + (offset - start_), len);
  }
  const std::uint64_t rest = size_ > offset ? size_ - offset : 0;
  const std::size_t want = std::max<std::size_t>(len, std::min<std::uint64_t>(kSize, rest));
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

}  // namespace corvane::detail
