#include "format/segment_file.h"
#include "support/log_check.h"

#include <fcntl.h>

#include <algorithm>
#include <stdexcept>

#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "support/test_util.h"

namespace corvane::testing {

namespace {

std::string at(std::uint16_t segment, std::uint64_t offset) {
  return "segment " + std::to_string(segment) + ", offset " + std::to_string(offset) + ": ";
}

// Through the I/O seam, so that a log on a simulated file system is read too.
std::expected<Bytes, std::string> read_segment(const std::string& path) {
  auto file = open_file(path, O_RDONLY);
  auto size = file ? file_size(*file) : std::unexpected(file.error());
  Bytes data(size ? *size : 0);
  auto read = size ? read_exact_at(*file, 0, data) : std::unexpected(size.error());
  if (!read) return std::unexpected(path + ": " + read.error().to_string());
  return data;
}

Mac mac_of(const CborValue& v) {
  const Bytes* b = v.as_bytes();
  if (b == nullptr || b->size() != kMacLen) throw std::runtime_error("not a 32-byte value");
  Mac m;
  std::copy(b->begin(), b->end(), m.begin());
  return m;
}

}  // namespace

const CborValue& LogRecord::field(std::uint64_t key) const {
  for (const auto& [k, v] : *value.as_map()) {
    if (*k.as_uint() == key) return v;
  }
  throw std::runtime_error("record has no key " + std::to_string(key));
}

const CborValue& LogRecord::payload(const std::string& name) const {
  for (const auto& [k, v] : *field(8).as_map()) {
    if (*k.as_text() == name) return v;
  }
  throw std::runtime_error("payload has no " + name);
}

std::expected<std::vector<LogRecord>, std::string> check_log(const std::string& dir, const Key& key,
                                                             std::uint16_t first_segment) {
  auto indices = list_segments(dir);
  if (!indices) return std::unexpected("listing: " + indices.error().to_string());
  if (indices->empty()) return std::unexpected("no segments");
  std::vector<LogRecord> out;
  Mac chain{};
  for (std::size_t n = first_segment; n < indices->size(); ++n) {
    const std::uint16_t s = (*indices)[n];
    if (s != n) return std::unexpected("segment " + std::to_string(n) + " missing");
    const auto read = read_segment(segment_path(dir, s));
    if (!read) return std::unexpected(read.error());
    const Bytes& data = *read;
    if (s == first_segment && s != 0 && data.size() >= kHeaderLen) {
      std::copy_n(data.begin() + kHeaderPrevFinalOffset, kMacLen, chain.begin());
    }
    const HeaderBytes header = build_header(key.key_id(), s == 0 ? Mac{} : chain, s);
    if (data.size() < kHeaderLen || !std::equal(header.begin(), header.end(), data.begin())) {
      return std::unexpected(at(s, 0) + "header differs");
    }
    if (s == 0) chain = key.mac(ByteView(header.data(), kHeaderSignedLen));
    const auto frames = split_frames(data);
    const std::uint64_t end = frames.empty() ? kHeaderLen : frames.back().end();
    if (end != data.size()) return std::unexpected(at(s, end) + "bytes after the last frame");
    const bool last_segment = n + 1 == indices->size();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const RawFrame& f = frames[i];
      if (key.mac(f.record) != f.mac) return std::unexpected(at(s, f.offset) + "MAC mismatch");
      auto value = decode_canonical(f.record);
      if (!value) return std::unexpected(at(s, f.offset) + value.error().to_string());
      if (value->as_map() == nullptr || value->as_map()->size() != 10) {
        return std::unexpected(at(s, f.offset) + "not a ten-entry map");
      }
      LogRecord r{s, std::move(*value)};
      if (r.record_id() != i) return std::unexpected(at(s, f.offset) + "record_id " + std::to_string(r.record_id()));
      if (mac_of(r.field(2)) != chain) return std::unexpected(at(s, f.offset) + "chain break");
      if (mac_of(r.field(9)) != key.key_id()) return std::unexpected(at(s, f.offset) + "key_id");
      const bool final_frame = i + 1 == frames.size();
      if (r.event() == kFinalizationEvent) {
        if (!final_frame || last_segment) return std::unexpected(at(s, f.offset) + "unexpected finalization");
        if (*r.payload("records").as_uint() != i || mac_of(r.payload("final_hash")) != chain) {
          return std::unexpected(at(s, f.offset) + "finalization payload");
        }
      } else if (final_frame && !last_segment) {
        return std::unexpected(at(s, f.offset) + "segment not finalized");
      }
      chain = f.mac;
      out.push_back(std::move(r));
    }
    if (frames.empty() && !last_segment) return std::unexpected(at(s, 80) + "empty closed segment");
  }
  return out;
}

std::expected<std::vector<std::uint64_t>, std::string> check_recovers(const std::string& dir, const KeyHandle& key,
                                                                      std::span<const std::uint64_t> appended,
                                                                      std::size_t acked, std::uint64_t probe,
                                                                      std::optional<std::uint64_t> segment_size) {
  auto opened = Writer::open(dir, key, test_session(0x77), segment_size);
  if (!opened) return std::unexpected("open: " + opened.error().to_string());
  if (auto id = opened->writer.append(sample_record(probe)); !id) {
    return std::unexpected("append: " + id.error().to_string());
  }
  if (auto f = opened->writer.flush(); !f) return std::unexpected("flush: " + f.error().to_string());
  opened->writer.close();
  auto log = check_log(dir, *key);
  if (!log) return std::unexpected("check_log: " + log.error());
  std::vector<std::uint64_t> found;
  for (const LogRecord& r : *log) {
    if (r.event() != kFinalizationEvent) found.push_back(*r.payload("i").as_uint());
  }
  if (found.empty() || found.back() != probe) return std::unexpected("the record appended after opening is not last");
  const std::size_t n = found.size() - 1;
  if (n < acked || n > appended.size() || !std::equal(found.begin(), found.end() - 1, appended.begin())) {
    return std::unexpected(std::to_string(n) + " records found, some not the first appended; appended " +
                           std::to_string(appended.size()) + ", acknowledged " + std::to_string(acked));
  }
  auto report = verify(dir, key);
  if (!report) return std::unexpected("verify: " + report.error().to_string());
  if (report->verdict != Verdict::kVerified) return std::unexpected("verify: " + compact_verdict(*report));
  return found;
}

AppendRecord sample_record(std::uint64_t i, std::size_t pad) {
  AppendRecord r;
  const std::uint64_t ms = i % 1000;
  r.ts_wall = "2024-05-06T07:08:09." + std::to_string(1000 + ms).substr(1) + "Z";
  r.actor = "user:" + std::to_string(i);
  r.event = "test.event";
  r.ts_mono_delta = 1000 + i;
  r.payload.insert_or_assign("i", PayloadValue::uint(i));
  r.payload.insert_or_assign("pad", PayloadValue::text(std::string(pad, 'x')));
  return r;
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
