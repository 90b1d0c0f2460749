#include <fcntl.h>

#include <algorithm>

#include "corvane/reader.h"
#include "reader/frame_io.h"

namespace corvane {

namespace {

// Large enough that a walk costs one read per MiB rather than one per frame.
constexpr std::size_t kWindowBytes = std::size_t{1} << 20;

}  // namespace

std::expected<SegmentReader, IoError> SegmentReader::open(const std::string& dir, std::uint16_t index) {
  // Only a regular file named in the directory itself: a link planted under
  // a segment's name is not followed, and opening never waits on a FIFO.
  auto file = open_regular_file(At::cwd(), segment_path(dir, index), O_RDONLY | O_NOFOLLOW);
  if (!file) return std::unexpected(file.error());
  return SegmentReader(std::move(*file), index);
}

SegmentReader::SegmentReader(File file, std::uint16_t index) : file_(std::move(file)), index_(index) {}
SegmentReader::SegmentReader(SegmentReader&&) noexcept = default;
SegmentReader& SegmentReader::operator=(SegmentReader&&) noexcept = default;
SegmentReader::~SegmentReader() = default;

std::expected<HeaderFacts, ReaderError> SegmentReader::check_header() {
  return check_segment_header(file_, index_);
}

std::expected<std::uint64_t, IoError> SegmentReader::refresh_size() {
  auto size = file_size(file_);
  if (!size) return std::unexpected(size.error());
  known_size_ = *size;
  return known_size_;
}

std::expected<bool, IoError> SegmentReader::has_bytes(std::uint64_t offset, std::uint64_t len) {
  if (offset <= known_size_ && known_size_ - offset >= len) return true;
  auto size = refresh_size();
  if (!size) return std::unexpected(size.error());
  return offset <= *size && *size - offset >= len;
}

std::expected<const std::uint8_t*, ReaderError> SegmentReader::load(std::uint64_t offset, std::uint64_t len) {
  if (offset >= window_start_ && offset - window_start_ + len <= window_len_) {
    return buffer_.data() + (offset - window_start_);
  }
  // Reload from `offset`: up to a window's worth, but not past the size last
  // seen, so a small file costs one read and a small buffer. The buffer grows
  // at least twofold, so a file growing while it is read reallocates rarely.
  const std::uint64_t cap = std::max<std::uint64_t>(kWindowBytes, len);
  const std::uint64_t want = std::max(len, std::min(cap, known_size_ - std::min(known_size_, offset)));
  if (buffer_.capacity() < want) {
    buffer_.clear();
    buffer_.reserve(static_cast<std::size_t>(std::min(cap, std::max<std::uint64_t>(want, 2 * buffer_.capacity()))));
  }
  if (buffer_.size() < want) buffer_.resize(static_cast<std::size_t>(want));
  window_len_ = 0;
  window_start_ = offset;
  auto got = read_at(file_, offset, std::span(buffer_.data(), static_cast<std::size_t>(want)));
  if (!got) return std::unexpected(ReaderError::from_io(got.error()));
  window_len_ = *got;
  if (*got >= len) return buffer_.data();
  // The file ended early: it shrank since its size was taken. Judge the frame
  // against the size it has now.
  auto present = has_bytes(offset, len);
  if (!present) return std::unexpected(ReaderError::from_io(present.error()));
  if (!*present) return std::unexpected(ReaderError::torn_tail(index_, offset));
  return std::unexpected(ReaderError::from_io(IoError::unexpected_eof()));
}

std::expected<std::optional<FrameView>, ReaderError> SegmentReader::read_frame(std::uint64_t offset) {
  // Most frames lie whole inside the window.
  if (offset >= window_start_ && offset - window_start_ + kFrameLenField <= window_len_) {
    const std::uint8_t* p = buffer_.data() + (offset - window_start_);
    const std::uint32_t len = load_u32le(p);
    if (len <= MAX_RECORD_LEN && offset - window_start_ + len + kFrameOverhead <= window_len_ &&
        load_u32le(p + kFrameLenField + len + kMacLen) == len) {
      return FrameView{offset, ByteView(p + kFrameLenField, len), p + kFrameLenField + len};
    }
  }
  auto any = has_bytes(offset, 1);
  if (!any) return std::unexpected(ReaderError::from_io(any.error()));
  if (!*any) return std::nullopt;

  auto head = has_bytes(offset, kFrameLenField);
  if (!head) return std::unexpected(ReaderError::from_io(head.error()));
  if (!*head) return std::unexpected(ReaderError::torn_tail(index_, offset));
  auto len_bytes = load(offset, kFrameLenField);
  if (!len_bytes) return std::unexpected(len_bytes.error());
  const std::uint32_t len = load_u32le(*len_bytes);
  // No writer makes a longer frame; a length beyond it (a sparse file may
  // even seem to hold it) is damage, and is never allocated.
  if (len > MAX_RECORD_LEN) return std::unexpected(ReaderError::torn_tail(index_, offset));
  const std::uint64_t frame_len = std::uint64_t{len} + kFrameOverhead;

  auto whole = has_bytes(offset, frame_len);
  if (!whole) return std::unexpected(ReaderError::from_io(whole.error()));
  if (!*whole) return std::unexpected(ReaderError::torn_tail(index_, offset));
  auto frame = load(offset, frame_len);
  if (!frame) return std::unexpected(frame.error());
  const std::uint8_t* p = *frame;
  if (load_u32le(p + kFrameLenField + len + kMacLen) != len) {
    return std::unexpected(ReaderError::torn_tail(index_, offset));
  }
  return FrameView{offset, ByteView(p + kFrameLenField, len), p + kFrameLenField + len};
}

std::expected<std::optional<StoredRecord>, ReaderError> SegmentReader::read_record(std::uint64_t offset) {
  // One result, returned from every path, so that the record is built in
  // the caller's storage.
  std::expected<std::optional<StoredRecord>, ReaderError> result(std::in_place, std::nullopt);
  auto frame = read_frame(offset);
  if (!frame) {
    result = std::unexpected(std::move(frame.error()));
  } else if (*frame) {
    auto decoded = detail::decode_frame(**frame, index_, result->emplace());
    if (!decoded) result = std::unexpected(std::move(decoded.error()));
  }
  return result;
}

}  // namespace corvane
