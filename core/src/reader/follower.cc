#include "corvane/follower.h"

#include <cerrno>

#include "corvane/segment.h"

namespace corvane {

namespace {

// Without a finalization record the next segment is not expected, but a log
// cut at a frame boundary (or made by another writer) may still have one:
// look for it on every this-many idle polls instead of on each.
constexpr std::uint32_t kSuccessorCheckEvery = 16;

bool is_missing(const IoError& e) { return e.fixed == IoError::Fixed::kNone && e.code == ENOENT; }

}  // namespace

std::expected<LogFollower, ReaderError> LogFollower::open(const std::string& dir) {
  auto listed = reader_list_segments(dir);
  if (!listed) return std::unexpected(listed.error());
  return LogFollower(dir, listed->empty() ? 0 : listed->front());
}

std::expected<bool, ReaderError> LogFollower::successor_exists() const {
  if (segment_ == kMaxSegmentIndex) return false;
  auto there = path_exists(segment_path(dir_, static_cast<std::uint16_t>(segment_ + 1)));
  if (there) return true;
  if (is_missing(there.error())) return false;
  return std::unexpected(ReaderError::from_io(there.error()));
}

void LogFollower::advance() {
  reader_.reset();
  segment_ = static_cast<std::uint16_t>(segment_ + 1);
  header_checked_ = false;
  offset_ = kHeaderLen;
  sealed_ = false;
  idle_polls_ = 0;
}

std::expected<std::size_t, ReaderError> LogFollower::poll(std::size_t max, const Take& take) {
  std::size_t taken = 0;
  while (taken < max) {
    if (!reader_) {
      auto opened = SegmentReader::open(dir_, segment_);
      if (!opened) {
        if (is_missing(opened.error())) return taken;  // not created yet
        return std::unexpected(ReaderError::from_io(opened.error()));
      }
      reader_.emplace(std::move(*opened));
    }
    if (!header_checked_) {
      auto header = reader_->check_header();
      if (!header) {
        reader_.reset();  // read afresh next time
        return std::unexpected(header.error());
      }
      header_checked_ = true;
    }
    auto record = reader_->read_record(offset_);
    if (record && *record) {
      const std::uint64_t next_offset = offset_ + (*record)->raw.size() + kFrameOverhead;
      const bool seals = (*record)->event == kFinalizationEvent;
      if (!take(std::move(**record))) return taken;
      offset_ = next_offset;
      sealed_ = seals;
      ++taken;
      continue;
    }
    if (!record && record.error().kind != ReaderError::Kind::kTornTail) return std::unexpected(record.error());
    // The end of what this segment holds now, or an incomplete frame.
    const bool torn = !record;
    if (!torn && !sealed_ && taken == 0 && ++idle_polls_ % kSuccessorCheckEvery != 0) return taken;
    auto next = successor_exists();
    if (!next) return std::unexpected(next.error());
    if (!*next) return taken;  // the last segment: a frame may still be coming
    if (torn) {
      // The writer completes a frame before it creates the next segment, so
      // the frame may have been completed since it was read: look once more.
      auto again = reader_->read_record(offset_);
      if (!again) return std::unexpected(again.error());
      continue;
    }
    advance();
  }
  return taken;
}

}  // namespace corvane
