// Following a log as it grows: a position (segment, byte offset) kept
// between polls, so each poll reads only what was appended since the last
// one and an idle poll costs one size query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "corvane/errors.h"
#include "corvane/reader.h"

namespace corvane {

class LogFollower {
 public:
  // Starts before the first record of the lowest segment listed now (segment
  // 0 when the directory holds none yet). The directory must exist.
  [[nodiscard]] static std::expected<LogFollower, ReaderError> open(const std::string& dir);

  // Hands `take` up to `max` records that are complete now, in the order they
  // stand in the files, moving to the next segment once it exists; returns
  // how many. A frame still being written at the end of the last segment
  // ends the poll quietly; the same incomplete frame in a segment that has a
  // successor is damage and returned as the reader reports it. An error
  // leaves the position, so the next poll meets it again (records handed out
  // before it stay handed out). When `take` returns false the poll stops
  // before that record, which the next poll reads again.
  using Take = std::function<bool(StoredRecord&&)>;
  [[nodiscard]] std::expected<std::size_t, ReaderError> poll(std::size_t max, const Take& take);

  std::uint16_t segment() const { return segment_; }
  std::uint64_t offset() const { return offset_; }

 private:
  explicit LogFollower(std::string dir, std::uint16_t first) : dir_(std::move(dir)), segment_(first) {}
  // Whether the segment after the current one exists.
  std::expected<bool, ReaderError> successor_exists() const;
  void advance();

  std::string dir_;
  std::uint16_t segment_ = 0;
  std::optional<SegmentReader> reader_;
  bool header_checked_ = false;
  std::uint64_t offset_ = kHeaderLen;
  // The last record read closes its segment, so the next one is due.
  bool sealed_ = false;
  std::uint32_t idle_polls_ = 0;
};

}  // namespace corvane
