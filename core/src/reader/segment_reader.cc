#include <fcntl.h>

#include <algorithm>

#include "corvane/reader.h"
#include "format/frames.h"
#include "format/segment_file.h"
#include "reader/frame_io.h"

namespace corvane {

std::expected<SegmentReader, IoError> SegmentReader::open(const std::string& dir, std::uint16_t index) {
  // Only a regular file named in the directory itself: a link planted under
  // a segment's name is not followed, and opening never waits on a FIFO.
  auto file = open_regular_file(At::cwd(), segment_path(dir, index), O_RDONLY | O_NOFOLLOW);
  if (!file) return std::unexpected(file.error());
  return SegmentReader(std::move(*file), index);
}

SegmentReader::SegmentReader(File file, std::uint16_t index)
    : window_(std::make_unique<detail::FileWindow>(std::move(file), 0)), index_(index) {}
SegmentReader::SegmentReader(SegmentReader&&) noexcept = default;
SegmentReader& SegmentReader::operator=(SegmentReader&&) noexcept = default;
SegmentReader::~SegmentReader() = default;

const File& SegmentReader::file() const { return window_->file(); }

std::expected<HeaderFacts, ReaderError> SegmentReader::check_header() {
  return check_segment_header(window_->file(), index_);
}

std::expected<std::uint64_t, IoError> SegmentReader::refresh_size() { return window_->refresh_size(); }

std::expected<std::optional<FrameView>, ReaderError> SegmentReader::read_frame(std::uint64_t offset) {
  if (offset >= window_->file_size()) {
    auto size = window_->refresh_size();
    if (!size) return std::unexpected(ReaderError::from_io(size.error()));
    if (offset >= *size) return std::nullopt;
  }
  auto frame = window_->frame(offset);
  // Cut off by the size last seen, or by a file that shrank since: judged
  // again against the size it has now, as the writer may have completed it.
  if ((frame && frame->status == FrameStatus::kTorn) || (!frame && frame.error() == IoError::unexpected_eof())) {
    auto size = window_->refresh_size();
    if (!size) return std::unexpected(ReaderError::from_io(size.error()));
    frame = window_->frame(offset);
  }
  if (!frame) return std::unexpected(ReaderError::from_io(frame.error()));
  // A length no writer makes is never read (a sparse file may even seem to
  // hold it), and like a frame cut off it ends what can be read.
  if (!frame->complete()) return std::unexpected(ReaderError::torn_tail(index_, offset));
  return FrameView{offset, frame->record, frame->mac};
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

std::expected<StoredRecord, ReaderError> read_record_at(const File& file, std::uint16_t segment, std::uint64_t offset,
                                                        std::uint64_t file_len) {
  const std::uint64_t left = offset <= file_len ? file_len - offset : 0;
  // Read as the parse asks: the length field, then the rest of the frame.
  Bytes bytes;
  Frame frame = parse_frame(bytes, left);
  while (frame.status == FrameStatus::kNeedBytes) {
    const std::size_t have = bytes.size();
    bytes.resize(static_cast<std::size_t>(frame.size));
    if (auto r = read_exact_at(file, offset + have, std::span(bytes).subspan(have)); !r) {
      return std::unexpected(ReaderError::from_io(r.error()));
    }
    frame = parse_frame(bytes, left);
  }
  if (!frame.complete()) return std::unexpected(ReaderError::torn_tail(segment, offset));
  std::expected<StoredRecord, ReaderError> result;
  auto decoded = detail::decode_frame(FrameView{offset, frame.record, frame.mac}, segment, *result);
  if (!decoded) result = std::unexpected(std::move(decoded.error()));
  return result;
}

}  // namespace corvane
