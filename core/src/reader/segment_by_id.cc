// Lookups by ascending record_id in one pass over a segment.
#include "corvane/reader.h"

namespace corvane {

SegmentById::SegmentById(SegmentReader reader) : reader_(std::move(reader)) {}
SegmentById::SegmentById(SegmentById&&) noexcept = default;
SegmentById& SegmentById::operator=(SegmentById&&) noexcept = default;
SegmentById::~SegmentById() = default;

void SegmentById::reopen(SegmentReader reader) { reader_ = std::move(reader); }

std::expected<std::optional<StoredRecord>, ReaderError> SegmentById::reread(std::uint64_t id, std::uint64_t offset) {
  // Straight from the file: refilling the reader's window behind its start
  // would cost a window's worth of reading per record stored out of order.
  auto size = reader_.refresh_size();
  if (!size) return std::unexpected(ReaderError::from_io(size.error()));
  auto record = read_record_at(reader_.file(), reader_.index(), offset, *size);
  if (!record) return std::unexpected(record.error());
  found_.emplace(id, offset);
  return std::move(*record);
}

std::expected<std::optional<StoredRecord>, ReaderError> SegmentById::find(std::uint64_t record_id) {
  // Every frame up to the first one of an id met before decoded then, so a
  // lookup from the segment's start would stop there as well.
  if (found_ && found_->first == record_id) return reread(record_id, found_->second);
  if (auto seen = ahead_.find(record_id); seen != ahead_.end()) {
    auto record = reread(record_id, seen->second);
    if (record) ahead_.erase(seen);
    return record;
  }
  for (;;) {
    auto record = reader_.read_record(scanned_);
    if (!record) return std::unexpected(record.error());
    if (!*record) return std::nullopt;
    const std::uint64_t offset = scanned_;
    const std::uint64_t id = (*record)->record_id;
    scanned_ += (*record)->raw.size() + kFrameOverhead;
    if (id == record_id) {
      found_.emplace(id, offset);
      return record;
    }
    // Lower ids are not asked for again.
    if (id > record_id) ahead_.try_emplace(id, offset);
  }
}

}  // namespace corvane
