#include "support/written_log.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "corvane/segment.h"
#include "corvane/writer.h"

namespace corvane::testing {

namespace {

// Room for three of these records and the finalization record, not four.
constexpr std::uint64_t kSegmentSize = 1000;

}  // namespace

void append_records(const std::string& dir, const KeyHandle& key, int n, std::string event) {
  auto opened = Writer::open(dir, key, test_session(), kSegmentSize);
  if (!opened) throw std::runtime_error("open: " + opened.error().to_string());
  for (int i = 0; i < n; ++i) {
    AppendRecord r;
    r.ts_wall = "2024-05-01T12:00:00.000Z";
    r.actor = "alice";
    r.event = event;
    r.ts_mono_delta = static_cast<std::uint64_t>(i);
    r.payload.insert_or_assign("n", PayloadValue::uint(static_cast<std::uint64_t>(i)));
    auto id = opened->writer.append(r);
    if (!id) throw std::runtime_error("append: " + id.error().to_string());
  }
}

WrittenLog::WrittenLog(const std::string& dir, KeyHandle key, std::string event)
    : dir_(dir), key_(std::move(key)) {
  append_records(dir_, key_, 8, std::move(event));
  for (std::uint16_t s = 0; path_exists(path(s)); ++s) frames_.push_back(raw_frames(path(s)));
  if (frames_.size() != 3 || frames_[0].size() != 4 || frames_[1].size() != 4 || frames_[2].size() != 2 ||
      frames_[2][1].offset != 266) {
    throw std::runtime_error("the writer laid the test log out differently");
  }
}

std::string WrittenLog::path(std::uint16_t segment) const { return segment_path(dir_, segment); }

Checkpoint WrittenLog::checkpoint(std::uint16_t segment, std::uint64_t record_id, std::string observed_at) const {
  return Checkpoint{segment, record_id, frames_.at(segment).at(record_id).mac, key_->key_id(), std::move(observed_at)};
}

VerifyReport verify_ok(const std::string& dir, const KeyHandle& key, const VerifyOptions& options) {
  auto report = verify(dir, key, options);
  EXPECT_TRUE(report) << report.error().to_string();
  return report ? std::move(*report) : VerifyReport{};
}

Mac mac_from_hex(const std::string& hex) {
  Mac out{};
  if (hex.size() != 64) throw std::runtime_error("not 64 hex digits: " + hex);
  for (std::size_t i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

}  // namespace corvane::testing
