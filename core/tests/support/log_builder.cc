#include "support/log_builder.h"

#include <stdexcept>

#include "corvane/segment.h"
#include "support/test_util.h"

namespace corvane::testing {

Bytes cbor_bytes(std::span<const std::uint8_t> b) {
  Bytes out = encode_head(2, b.size());
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes cbor_text(std::string_view s) {
  Bytes out = encode_head(3, s.size());
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

Bytes cbor_uint(std::uint64_t u) { return encode_head(0, u); }

SessionId LogBuilder::test_session_id() { return test_session(); }

LogBuilder::LogBuilder(std::string dir, KeyHandle key, SessionId session)
    : dir_(std::move(dir)), key_(std::move(key)), session_(session) {}

std::string LogBuilder::path(std::uint16_t index) const { return segment_path(dir_, index); }

LogBuilder& LogBuilder::begin_segment() {
  ++segment_;
  const Mac prev_final = segment_ == 0 ? Mac{} : head_;
  auto file = create_segment(dir_, segment(), key_->key_id(), prev_final);
  if (!file) throw std::runtime_error("create_segment: " + file.error().io.to_string());
  if (segment_ == 0) {
    const HeaderBytes header = build_header(key_->key_id(), Mac{}, 0);
    head_ = key_->mac(std::span(header.data(), kHeaderSignedLen));
  }
  next_id_ = 0;
  return *this;
}

RecordEntries LogBuilder::next_entries(std::string event, std::string ts_wall) const {
  AppendRecord r;
  r.ts_wall = std::move(ts_wall);
  r.actor = "alice";
  r.event = std::move(event);
  r.ts_mono_delta = last_mono_ + 1;
  r.payload.insert_or_assign("n", PayloadValue::uint(next_id_));
  return {{1, cbor_uint(next_id_)},
          {2, cbor_bytes(head_)},
          {3, cbor_text(r.ts_wall)},
          {4, cbor_uint(r.ts_mono_delta)},
          {5, cbor_bytes(session_)},
          {6, cbor_text(r.actor)},
          {7, cbor_text(r.event)},
          {8, encode_payload_value(PayloadValue::map(r.payload))},
          {9, cbor_bytes(key_->key_id())},
          {10, cbor_uint(r.schema_version)}};
}

std::uint64_t LogBuilder::append(std::string event, std::string ts_wall) {
  last_ts_ = ts_wall;
  const std::uint64_t offset = append_entries(next_entries(std::move(event), std::move(ts_wall)));
  ++last_mono_;
  return offset;
}

std::uint64_t LogBuilder::append_entries(const RecordEntries& entries) {
  return append_record_bytes(encode_uint_keyed_map(entries));
}

std::uint64_t LogBuilder::append_record_bytes(const Bytes& record) {
  const std::string file = path();
  const std::uint64_t offset = file_len(file);
  append_bytes(file, make_frame(record, *key_));
  head_ = key_->mac(record);
  ++next_id_;
  return offset;
}

LogBuilder& LogBuilder::finalize() {
  const AppendRecord fin = make_finalization_record(last_ts_, last_mono_, next_id_, head_);
  append_record_bytes(encode_record(fin, session_, key_->key_id(), head_, next_id_));
  last_ts_ = fin.ts_wall;
  last_mono_ = fin.ts_mono_delta;
  return *this;
}

LogBuilder build_log(const std::string& dir, const KeyHandle& key, const std::vector<int>& records) {
  LogBuilder log(dir, key);
  for (std::size_t s = 0; s < records.size(); ++s) {
    if (s != 0) log.finalize();
    log.begin_segment();
    for (int i = 0; i < records[s]; ++i) log.append();
  }
  return log;
}

}  // namespace corvane::testing
