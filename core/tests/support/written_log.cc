#include "format/segment_file.h"
#include "support/written_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "corvane/record.h"
#include "corvane/segment.h"
#include "corvane/writer.h"

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

std::expected<std::vector<std::uint64_t>, std::string> check_recovers(const std::string& dir, const KeyHandle& key, std::span<const std::uint64_t> appended,
                                                                     std::size_t acked, std::uint64_t probe, std::optional<std::uint64_t> segment_size) {
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
  return {"2024-05-06T07:08:09." + std::to_string(1000 + i % 1000).substr(1) + "Z", "user:" + std::to_string(i), "test.event", 1000 + i,
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


void append_records(const std::string& dir, const KeyHandle& key, int n, std::string event) {
  // Room for three of these records and the finalization record, not four.
  Writer w = open_writer(dir, key, 1000).writer;
  for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(n); ++i)
    append_ok(w, {kTestTs, "alice", event, i, PayloadMap::from_unsorted({{"n", PayloadValue::uint(i)}}), 1});
}

WrittenLog::WrittenLog(const std::string& dir, KeyHandle key, std::string event) : dir_(dir), key_(std::move(key)) {
  append_records(dir_, key_, 8, std::move(event));
  for (std::uint16_t s = 0; path_exists(path(s)); ++s) frames_.push_back(raw_frames(path(s)));
  if (frames_.size() != 3 || frames_[0].size() != 4 || frames_[1].size() != 4 || frames_[2].size() != 2 ||
      frames_[2][1].offset != 266) {
    throw std::runtime_error("the writer laid the test log out differently");
  }
}

std::string WrittenLog::path(std::uint16_t segment) const { return segment_path(dir_, segment); }

Checkpoint WrittenLog::checkpoint(std::uint16_t segment, std::uint64_t record_id) const {
  return Checkpoint{segment, record_id, frames_.at(segment).at(record_id).mac, key_->key_id(), "t0"};
}

VerifyReport verify_ok(const std::string& dir, const KeyHandle& key, const VerifyOptions& options) {
  auto report = verify(dir, key, options);
  return report ? std::move(*report) : (ADD_FAILURE() << report.error().to_string(), VerifyReport{});
}

static Bytes cbor_string(std::uint8_t major, const void* data, std::size_t len) {
  Bytes out = encode_head(major, len);
  append_raw(out, data, len);
  return out;
}
Bytes cbor_bytes(ByteView b) { return cbor_string(2, b.data(), b.size()); }
Bytes cbor_text(std::string_view s) { return cbor_string(3, s.data(), s.size()); }

Bytes with_entry(RecordEntries e, std::uint64_t key, Bytes value) {
  e.at(key - 1).second = std::move(value);
  return encode_uint_keyed_map(e);
}
Bytes without_last(RecordEntries e) {
  e.pop_back();
  return encode_uint_keyed_map(e);
}
Bytes with_trailing_byte(const RecordEntries& e) {
  Bytes b = encode_uint_keyed_map(e);
  b.push_back(0);
  return b;
}

Bytes with_text_key(RecordEntries e) {
  Bytes b = without_last(std::move(e));
  b[0] = 0xaa;  // ten entries again, the last one {"k": 0}
  b.insert(b.end(), {0x61, 'k', 0x00});
  return b;
}

std::string LogBuilder::path(int segment) const { return segment_path(dir_, segment < 0 ? segment_ : segment); }

LogBuilder& LogBuilder::begin_segment() {
  const Mac prev_final = ++segment_ == 0 ? Mac{} : head_;
  auto file = create_segment(dir_, static_cast<std::uint16_t>(segment_), key_->key_id(), prev_final);
  if (!file) throw std::runtime_error("create_segment: " + file.error().io.to_string());
  if (segment_ == 0) head_ = key_->mac(std::span(build_header(key_->key_id(), Mac{}, 0).data(), kHeaderSignedLen));
  next_id_ = 0;
  return *this;
}

RecordEntries LogBuilder::next_entries(std::string event, std::string ts_wall) const {
  const PayloadValue payload = PayloadValue::map(PayloadMap::from_unsorted({{"n", PayloadValue::uint(next_id_)}}));
  return {{1, encode_head(0, next_id_)}, {2, cbor_bytes(head_)}, {3, cbor_text(ts_wall)},
          {4, encode_head(0, last_mono_ + 1)}, {5, cbor_bytes(test_session())}, {6, cbor_text("alice")},
          {7, cbor_text(event)}, {8, encode_payload_value(payload)}, {9, cbor_bytes(key_->key_id())},
          {10, encode_head(0, 1)}};
}

std::uint64_t LogBuilder::append(std::string event, std::string ts_wall) {
  last_ts_ = ts_wall;
  const std::uint64_t offset = append_entries(next_entries(std::move(event), std::move(ts_wall)));
  ++last_mono_;
  return offset;
}

std::uint64_t LogBuilder::append_record_bytes(const Bytes& record) {
  const std::uint64_t offset = file_len(path());
  append_bytes(path(), make_frame(record, *key_));
  head_ = key_->mac(record);
  ++next_id_;
  return offset;
}

LogBuilder& LogBuilder::finalize() {
  const AppendRecord fin = make_finalization_record(last_ts_, last_mono_, next_id_, head_);
  append_record_bytes(encode_record(fin, test_session(), key_->key_id(), head_, next_id_));
  last_ts_ = fin.ts_wall;
  last_mono_ = fin.ts_mono_delta;
  return *this;
}

LogBuilder build_log(const std::string& dir, const KeyHandle& key, const std::vector<int>& records) {
  LogBuilder log(dir, key);
  for (std::size_t s = 0; s < records.size(); ++s) {
    (s != 0 ? log.finalize() : log).begin_segment();
    for (int i = 0; i < records[s]; ++i) log.append();
  }
  return log;
}

}  // namespace corvane::testing
