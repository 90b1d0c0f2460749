#include "corvane/reader.h"

#include <cerrno>

#include "reader/frame_io.h"

namespace corvane {

namespace {

bool is_missing(const IoError& e) { return e.fixed == IoError::Fixed::kNone && e.code == ENOENT; }

// Whether the indices run 0, 1, 2, ... without a hole.
bool contiguous_from_zero(const std::vector<std::uint16_t>& indices) {
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] != i) return false;
  }
  return true;
}

}  // namespace

std::expected<std::vector<std::uint16_t>, ReaderError> reader_list_segments(const std::string& dir) {
  auto first = list_segments(dir, MissingDirectory::kIsError);
  if (!first) return std::unexpected(ReaderError::from_io(first.error()));
  if (contiguous_from_zero(*first)) return std::move(*first);
  // A listing taken while the writer renames a new segment into place may
  // miss it and still show one made after it. Every segment made before a
  // listed one was in place when that listing ended, so a second listing
  // holds them all; indices above the first listing's highest are left out,
  // as they were made later and may be caught in the same race.
  const std::uint16_t highest = first->back();
  auto second = list_segments(dir, MissingDirectory::kIsError);
  if (!second) return std::unexpected(ReaderError::from_io(second.error()));
  std::erase_if(*second, [highest](std::uint16_t index) { return index > highest; });
  return std::move(*second);
}

std::expected<StoredRecord, ReaderError> find_record(const std::string& dir, std::uint16_t segment,
                                                     std::uint64_t record_id) {
  auto reader = SegmentReader::open(dir, segment);
  if (!reader) {
    if (is_missing(reader.error())) return std::unexpected(ReaderError::not_found(segment, record_id));
    return std::unexpected(ReaderError::from_io(reader.error()));
  }
  auto header = reader->check_header();
  if (!header) return std::unexpected(header.error());
  // Frames appended after this point are not looked at.
  auto size = reader->refresh_size();
  if (!size) return std::unexpected(ReaderError::from_io(size.error()));
  std::uint64_t offset = kHeaderLen;
  while (offset < *size) {
    auto record = reader->read_record(offset);
    if (!record) return std::unexpected(record.error());
    if (!*record) break;
    if ((*record)->record_id == record_id) return std::move(**record);
    offset += (*record)->raw.size() + kFrameOverhead;
  }
  return std::unexpected(ReaderError::not_found(segment, record_id));
}

RecordCursor::RecordCursor(std::string dir) : dir_(std::move(dir)) {}
RecordCursor::RecordCursor(RecordCursor&&) noexcept = default;
RecordCursor& RecordCursor::operator=(RecordCursor&&) noexcept = default;
RecordCursor::~RecordCursor() = default;

std::expected<RecordCursor, ReaderError> RecordCursor::open(const std::string& dir) {
  // Only proves that the directory can be listed; the walk forms names itself.
  auto list = reader_list_segments(dir);
  if (!list) return std::unexpected(list.error());
  return RecordCursor(dir);
}

std::expected<std::optional<StoredRecord>, ReaderError> RecordCursor::next() {
  // One result, returned from every path, so that the record is decoded in
  // the caller's storage rather than moved there.
  std::expected<std::optional<StoredRecord>, ReaderError> result(std::in_place, std::nullopt);
  for (;;) {
    if (!segment_) {
      const std::uint16_t candidate = started_ ? static_cast<std::uint16_t>(current_ + 1) : 0;
      auto opened = SegmentReader::open(dir_, candidate);
      if (!opened) {
        if (!is_missing(opened.error())) result = std::unexpected(ReaderError::from_io(opened.error()));
        return result;
      }
      segment_ = std::make_unique<SegmentReader>(std::move(*opened));
      current_ = candidate;
      started_ = true;
      header_checked_ = false;
      offset_ = kHeaderLen;
    }
    if (!header_checked_) {
      auto header = segment_->check_header();
      if (!header) {
        result = std::unexpected(std::move(header.error()));
        return result;
      }
      header_checked_ = true;
    }
    auto frame = segment_->read_frame(offset_);
    if (!frame) {
      result = std::unexpected(std::move(frame.error()));
      return result;
    }
    if (*frame) {
      auto decoded = detail::decode_frame(**frame, current_, result->emplace());
      if (!decoded) {
        result = std::unexpected(std::move(decoded.error()));
      } else {
        offset_ = (*frame)->next_offset();
      }
      return result;
    }
    // Exhausted. The current file stays open while no next segment exists
    // (65535 has none), so records appended to it later are still found.
    if (current_ == kMaxSegmentIndex || !path_exists(segment_path(dir_, static_cast<std::uint16_t>(current_ + 1)))) {
      return result;
    }
    segment_.reset();
  }
}

}  // namespace corvane
