#include "support/log_check.h"

#include <algorithm>
#include <stdexcept>

#include "corvane/verifier.h"

namespace corvane::testing {

std::expected<std::vector<StoredRecord>, std::string> check_log(const std::string& dir, const KeyHandle& key) {
  auto report = verify(dir, key);
  if (!report || report->verdict != Verdict::kVerified)
    return std::unexpected("verify: " + (report ? compact_verdict(*report) : report.error().to_string()));
  auto cursor = RecordCursor::open(dir);
  std::vector<StoredRecord> out;
  for (auto r = cursor ? cursor->next() : std::unexpected(cursor.error()); !r || *r; r = cursor->next()) {
    if (!r) return std::unexpected("reading: " + r.error().to_string());
    out.push_back(std::move(**r));
  }
  std::uint16_t segment = 0;  // where the next record belongs: one on after a finalization record
  for (std::size_t i = 0; i < out.size(); ++i) {
    const StoredRecord& r = out[i];
    const bool ends = i + 1 == out.size() || out[i + 1].segment_index != segment, fin = r.event == kFinalizationEvent;
    const auto expected = make_finalization_record(r.ts_wall, r.ts_mono_delta, r.record_id, r.prev_hash).payload;
    if (r.segment_index != segment || fin != (ends && segment != report->log.last_segment_index) || (fin && r.payload != expected))
      return std::unexpected("segment " + std::to_string(segment) + ", record " + std::to_string(r.record_id) + ": finalization");
    segment += fin;
  }
  if (segment != report->log.last_segment_index.value_or(0)) return std::unexpected("empty closed segment");
  return out;
}

std::expected<std::vector<std::uint64_t>, std::string> check_recovers(
    const std::string& dir, const KeyHandle& key, std::span<const std::uint64_t> appended, std::size_t acked,
    std::uint64_t probe, std::optional<std::uint64_t> segment_size) {
  auto opened = Writer::open(dir, key, test_session(0x77), segment_size);
  if (!opened) return std::unexpected("open: " + opened.error().to_string());
  if (auto id = opened->writer.append(sample_record(probe)); !id) return std::unexpected("append: " + id.error().to_string());
  if (auto f = opened->writer.flush(); !f) return std::unexpected("flush: " + f.error().to_string());
  opened->writer.close();
  auto log = check_log(dir, key);
  if (!log) return std::unexpected(log.error());
  std::vector<std::uint64_t> found;
  for (const StoredRecord& r : *log)
    if (r.event != kFinalizationEvent) found.push_back(std::get<0>(r.payload.find("i")->v));
  const std::size_t n = found.size() - 1;
  if (found.empty() || found.back() != probe || n < acked || n > appended.size() || !std::equal(found.begin(), found.end() - 1, appended.begin()))
    return std::unexpected(std::to_string(n) + " records before the probe, not the first of the " + std::to_string(appended.size()) +
                           " appended, or fewer than the " + std::to_string(acked) + " acknowledged");
  return found;
}

AppendRecord sample_record(std::uint64_t i, std::size_t pad) {
  return {"2024-05-06T07:08:09." + std::to_string(1000 + i % 1000).substr(1) + "Z", "user:" + std::to_string(i),
          "test.event", 1000 + i,
          PayloadMap::from_unsorted({{"i", PayloadValue::uint(i)}, {"pad", PayloadValue::text(std::string(pad, 'x'))}})};
}

Writer::Opened open_writer(const std::string& dir, const KeyHandle& key, std::optional<std::uint64_t> segment_size_bytes,
                           const SessionId& session) {
  auto opened = Writer::open(dir, key, session, segment_size_bytes);
  if (!opened) throw std::runtime_error("open: " + opened.error().to_string());
  return std::move(*opened);
}

std::uint64_t append_ok(Writer& writer, const AppendRecord& record) {
  auto id = writer.append(record);
  if (!id) throw std::runtime_error("append: " + id.error().to_string());
  return *id;
}

}  // namespace corvane::testing
