// Writes the seed corpus of the record and segment targets under the
// directory given: a small log written by the writer (two segments, the
// first finalized, the payload kinds), cut and damaged the ways a crash or an
// edit leaves it. The output depends on nothing but this file, so the seeds
// can be made again byte for byte. cbor_decode's seeds (RFC 8949 appendix A
// and some records) are kept as committed.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support.h"

using namespace corvane;

namespace {

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(target);
  std::ofstream(target + "/seed-" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) append_raw(out, p.data(), p.size());
  return out;
}

Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }
Bytes u16le(std::size_t v) { return Bytes{std::uint8_t(v), std::uint8_t(v >> 8)}; }

// One record per payload, through a writer opened with `segment_size`.
void append(const std::string& dir, std::optional<std::uint64_t> segment_size,
            std::initializer_list<std::vector<PayloadMap::Entry>> payloads) {
  auto w = fuzz::ok(fuzz::open_writer(dir, segment_size));
  for (const auto& p : payloads)
    fuzz::ok(w.writer.append({"2024-05-01T12:00:00.000Z", "user:alice", "user.login", 7, PayloadMap::from_unsorted(p), 1}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string root = std::string(argv[1]) + "/";
  using V = PayloadValue;
  // Segment 0: three records and a finalization record; segment 1: two records.
  const std::string& dir = fuzz::put_log({});
  append(dir, std::nullopt,
         {{},
          {{"user", V::text("alice")}, {"n", V::nint(-5)}, {"ok", V::boolean(true)}, {"bytes", V::bytes({0, 1, 0xFF})},
           {"big", V::uint(std::uint64_t{1} << 40)}},
          {{"nested", V::map(PayloadMap::from_unsorted({{"list", V::array({V::uint(1), V::array({V::nint(-300),
                     V::map(PayloadMap::from_unsorted({{"k", V::text("\xC3\xBC")}}))})})}}))},
           {"b", V::boolean(false)}, {"aa", V::text("")}}});
  append(dir, 1, {{{"unicode", V::text("\xE6\x97\xA5\xE6\x9C\xAC")}}});  // rotates first
  append(dir, std::nullopt, {{{"arr", V::array({V::boolean(false), V::nint(-1), V::array({})})}}});
  const Bytes seg0 = *fuzz::read_segment(0), seg1 = *fuzz::read_segment(1), header0 = prefix(seg0, kHeaderLen);
  // One segment of two records, the first with a payload of 4000 bytes.
  fuzz::put_log({});
  append(dir, std::nullopt, {{{"blob", V::bytes(Bytes(4000, 0xB5))}}, {{"size", V::uint(4000)}}});
  const Bytes large = *fuzz::read_segment(0);

  int n = 0;
  for (const Bytes* seg : {&seg0, &seg1})
    for (auto f = fuzz::frame_at(*seg, kHeaderLen); f; f = fuzz::frame_at(*seg, f->end()))
      put(root + "record_decode", "record-" + std::to_string(n++), Bytes(f->record.begin(), f->record.end()));
  // Records at the edges of the reader's one-pass decoding: more payload
  // entries than it sorts before building, nesting one level short of the
  // limit and at it, a schema version past a byte, a nested map keyed by a
  // number.
  const auto encoded = [](PayloadMap payload, std::uint32_t version = 1) {
    return encode_record({"2024-05-01T12:00:00.000Z", "user:alice", "user.login", 7, std::move(payload), version},
                         SessionId{}, KeyId{}, Mac{}, 9);
  };
  const auto record = [&](const std::string& name, PayloadMap payload, std::uint32_t version = 1) {
    put(root + "record_decode", name, encoded(std::move(payload), version));
  };
  std::vector<PayloadMap::Entry> wide;
  for (int i = 0; i < 40; ++i) wide.emplace_back("k" + std::to_string(i * 7 % 40), V::uint(i));
  record("wide", PayloadMap::from_unsorted(wide));
  const auto nested = [&](int levels) {  // the payload map is at depth 1
    V v = V::array({});
    for (int i = 2; i < levels; ++i) v = i % 2 ? V::array({v}) : V::map(PayloadMap::from_unsorted({{"d", v}}));
    return PayloadMap::from_unsorted({{"d", v}});
  };
  record("depth-15", nested(15));
  record("depth-16", nested(16));
  record("schema-256", {}, 256);
  Bytes uint_key = encoded(PayloadMap::from_unsorted({{"m", V::map(PayloadMap::from_unsorted({{"a", V::uint(1)}}))}}));
  const Bytes text_key = {0xA1, 0x61, 0x61, 0x01}, number_key = {0xA1, 0x01, 0x01};
  const auto at = std::search(uint_key.begin(), uint_key.end(), text_key.begin(), text_key.end());
  uint_key.insert(uint_key.erase(at, at + 4), number_key.begin(), number_key.end());
  put(root + "record_decode", "nested-number-key", uint_key);

  const std::pair<const char*, Bytes> headers[] = {{"segment0", cat({u16le(0), header0})},
      {"segment1", cat({u16le(1), seg1})}, {"short", cat({u16le(0), prefix(header0, kHeaderLen - 1)})},
      {"index-mismatch", cat({u16le(2), header0})}};
  for (const auto& [name, bytes] : headers) put(root + "segment_header", name, bytes);

  Bytes flipped = seg1, discontinuous = seg1, torn_start = large;
  flipped[kHeaderLen + 30] ^= 1;
  discontinuous[kHeaderPrevFinalOffset] ^= 1;
  // The first frame's trailing length and the second frame's record damaged.
  const std::size_t second_frame = kHeaderLen + load_u32le(&large[kHeaderLen]) + kFrameOverhead;
  torn_start[second_frame - 1] ^= 1;
  torn_start[second_frame + 20] ^= 1;
  const Bytes stray = cat({seg0, Bytes(10, 0x5A)}), torn = prefix(seg1, seg1.size() - 30);
  const std::uint8_t crc = fuzz::kFixCrc << 4, macs = fuzz::kFixMacs << 4, chain_macs = macs | fuzz::kFixChain << 4;
  // Logs (fuzz::log_case); grown ones (size_byte set) for the *_large targets: past the first 1 MiB read window
  // whole, torn at the end, MACs left stale, and torn_start's damage in every copy (no intact frame anywhere, so the
  // look for one crosses the window). remnant-*: segment 1 half made (a prefix of its header, or zeros).
  // clang-format off
  const struct { const char* name; std::uint8_t flags; Bytes first, second = {}; std::uint8_t size_byte = 0, cut_byte = 0; } seeds[] = {
      {"intact", 0, seg0, seg1}, {"finalized", 0, seg0}, {"segment1-only", 2, seg1}, {"rotate", 1 | 2, seg1},
      {"header-only", 0, header0}, {"gap", 4 | 8, seg0, seg1}, {"torn", 0, seg0, torn}, {"stray-bytes", 0, stray},
      {"zero-tail", 2, cat({seg1, Bytes(300, 0)})}, {"flipped", 1, seg0, flipped}, {"flipped-resealed", 2 | macs, flipped},
      {"resealed", 0xF0 | 8, seg0, flipped}, {"discontinuity", crc, seg0, discontinuous},
      {"remnant-prefix", 0, stray, prefix(seg1, 40)}, {"remnant-zeros", 1, seg0, Bytes(kHeaderLen, 0)},
      {"grown", chain_macs, large, {}, 160}, {"grown-torn", chain_macs, large, {}, 160, 50},
      {"grown-torn-start", chain_macs, torn_start, {}, 1}, {"grown-stale", 0, large, {}, 255},
      {"grown-second", static_cast<std::uint8_t>(chain_macs | crc | 8), seg0, large, 160}};
  // clang-format on
  using Names = std::vector<std::string>;
  const Names plain = {"recovery_scan", "verify_segment", "read_log", "writer_open"};
  const Names grown = {"recovery_scan_large", "verify_segment_large"};
  for (const auto& [name, flags, first, second, size_byte, cut_byte] : seeds) {
    for (const auto& t : size_byte != 0 ? grown : plain)
      put(root + t, name, cat({{flags, size_byte, cut_byte}, u16le(first.size()), first, second}));
  }
  return 0;
}
