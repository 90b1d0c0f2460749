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

CborValue cbor(const Mac& m) { return CborValue::bytes(Bytes(m.begin(), m.end())); }

}  // namespace

// The value under `key` in `map`; throws when absent.
static const CborValue& entry(const CborValue& map, const CborValue& key) {
  for (const auto& [k, v] : *map.as_map())
    if (k == key) return v;
  throw std::runtime_error("no entry " + debug_string(key));
}
const CborValue& LogRecord::field(std::uint64_t key) const { return entry(value, CborValue::uint(key)); }
const CborValue& LogRecord::payload(const std::string& name) const { return entry(field(8), CborValue::text(name)); }

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
    if (s == first_segment && s != 0 && data.size() >= kHeaderLen)
      std::copy_n(&data[kHeaderPrevFinalOffset], kMacLen, chain.begin());
    const HeaderBytes header = build_header(key.key_id(), s == 0 ? Mac{} : chain, s);
    if (data.size() < kHeaderLen || !std::equal(header.begin(), header.end(), data.begin()))
      return std::unexpected(at(s, 0) + "header differs");
    if (s == 0) chain = key.mac(ByteView(header.data(), kHeaderSignedLen));
    const auto frames = split_frames(data);
    const std::uint64_t end = frames.empty() ? kHeaderLen : frames.back().end();
    if (end != data.size()) return std::unexpected(at(s, end) + "bytes after the last frame");
    const bool last_segment = n + 1 == indices->size();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const RawFrame& f = frames[i];
      const auto bad = [&](const std::string& what) { return std::unexpected(at(s, f.offset) + what); };
      if (key.mac(f.record) != f.mac) return bad("MAC mismatch");
      auto value = decode_canonical(f.record);
      if (!value) return bad(value.error().to_string());
      if (value->as_map() == nullptr || value->as_map()->size() != 10) return bad("not a ten-entry map");
      LogRecord r{s, std::move(*value)};
      if (r.record_id() != i) return bad("record_id " + std::to_string(r.record_id()));
      if (r.field(2) != cbor(chain)) return bad("chain break");
      if (r.field(9) != cbor(key.key_id())) return bad("key_id");
      const bool final_frame = i + 1 == frames.size(), finalization = r.event() == kFinalizationEvent;
      if (finalization && (!final_frame || last_segment)) return bad("unexpected finalization");
      if (finalization && (r.payload("records") != CborValue::uint(i) || r.payload("final_hash") != cbor(chain)))
        return bad("finalization payload");
      if (!finalization && final_frame && !last_segment) return bad("segment not finalized");
      chain = f.mac;
      out.push_back(std::move(r));
    }
    if (frames.empty() && !last_segment) return std::unexpected(at(s, 80) + "empty closed segment");
  }
  return out;
}

std::expected<std::vector<std::uint64_t>, std::string> check_recovers(
    const std::string& dir, const KeyHandle& key, std::span<const std::uint64_t> appended, std::size_t acked,
    std::uint64_t probe, std::optional<std::uint64_t> segment_size) {
  auto opened = Writer::open(dir, key, test_session(0x77), segment_size);
  if (!opened) return std::unexpected("open: " + opened.error().to_string());
  if (auto id = opened->writer.append(sample_record(probe)); !id)
    return std::unexpected("append: " + id.error().to_string());
  if (auto f = opened->writer.flush(); !f) return std::unexpected("flush: " + f.error().to_string());
  opened->writer.close();
  auto log = check_log(dir, *key);
  if (!log) return std::unexpected("check_log: " + log.error());
  std::vector<std::uint64_t> found;
  for (const LogRecord& r : *log)
    if (r.event() != kFinalizationEvent) found.push_back(*r.payload("i").as_uint());
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
