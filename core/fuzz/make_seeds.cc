// Writes the seed corpus of every fuzz target under the directory given:
// a small log written by the writer (two segments, the first finalized, the
// payload kinds), cut and damaged the ways a crash or an edit leaves it, and
// the CBOR examples of RFC 8949's appendix A. The output depends on nothing
// but this file, so the committed seeds can be made again byte for byte.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "corvane/writer.h"
#include "support.h"

using namespace corvane;
namespace stdfs = std::filesystem;

namespace {

// RFC 8949 appendix A: every example, including those outside our subset
// (floats, tags, simple values, indefinite lengths).
const char* const kRfcExamples[] = {
    "00", "01", "0a", "17", "1818", "1819", "1864", "1903e8", "1a000f4240", "1b000000e8d4a51000",
    "1bffffffffffffffff", "c249010000000000000000", "3bffffffffffffffff", "c349010000000000000000", "20", "29",
    "3863", "3903e7", "f90000", "f98000", "f93c00", "fb3ff199999999999a", "f93e00", "f97bff", "fa47c35000",
    "fa7f7fffff", "fb7e37e43c8800759c", "f90001", "f90400", "f9c400", "fbc010666666666666", "f97c00", "f97e00",
    "f9fc00", "fa7f800000", "fa7fc00000", "faff800000", "fb7ff0000000000000", "fb7ff8000000000000",
    "fbfff0000000000000", "f4", "f5", "f6", "f7", "f0", "f8ff", "c074323031332d30332d32315432303a30343a30305a",
    "c11a514b67b0", "c1fb41d452d9ec200000", "d74401020304", "d818456449455446",
    "d82076687474703a2f2f7777772e6578616d706c652e636f6d", "40", "4401020304", "60", "6161", "6449455446",
    "62225c", "62c3bc", "63e6b0b4", "64f0908591", "80", "83010203", "8301820203820405",
    "98190102030405060708090a0b0c0d0e0f101112131415161718181819", "a0", "a201020304", "a26161016162820203",
    "826161a161626163", "a56161614161626142616361436164614461656145", "5f42010243030405ff",
    "7f657374726561646d696e67ff", "9fff", "9f018202039f0405ffff", "9f01820203820405ff", "83018202039f0405ff",
    "83019f0203ff820405", "9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", "bf61610161629f0203ffff",
    "826161bf61626163ff", "bf6346756ef563416d7421ff",
};

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class Out {
 public:
  explicit Out(std::string root) : root_(std::move(root)) {}
  void put(const std::string& target, const std::string& name, const Bytes& bytes) {
    const stdfs::path dir = stdfs::path(root_) / target;
    stdfs::create_directories(dir);
    std::ofstream f(dir / ("seed-" + name), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) {
      std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
      std::exit(1);
    }
  }

 private:
  std::string root_;
};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes u16le(std::size_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }

PayloadMap payload(std::vector<PayloadMap::Entry> entries) { return PayloadMap::from_unsorted(std::move(entries)); }

void must(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "make_seeds: %s failed\n", what);
    std::exit(1);
  }
}

// Segment 0: three records and a finalization record; segment 1: two records.
void write_log(const std::string& dir) {
  SessionId session;
  session.fill(0x11);
  const auto key = fuzz::fuzz_key();
  AppendRecord r;
  r.ts_wall = "2024-05-01T12:00:00.000Z";
  r.actor = "user:alice";
  r.event = "user.login";
  const auto append = [&](std::optional<std::uint64_t> segment_size, std::vector<PayloadMap> payloads) {
    auto w = Writer::open(dir, key, session, segment_size);
    must(w.has_value(), "open");
    for (PayloadMap& p : payloads) {
      r.payload = std::move(p);
      r.ts_mono_delta += 7;
      must(w->writer.append(r).has_value(), "append");
    }
    must(w->writer.flush().has_value(), "flush");
  };
  using V = PayloadValue;
  append(std::nullopt, {payload({}),
                        payload({{"user", V::text("alice")}, {"n", V::nint(-5)}, {"ok", V::boolean(true)},
                                 {"bytes", V::bytes({0, 1, 0xFF})}, {"big", V::uint(std::uint64_t{1} << 40)}}),
                        payload({{"nested", V::map(payload({{"list", V::array({V::uint(1), V::array({V::nint(-300),
                                   V::map(payload({{"k", V::text("\xC3\xBC")}}))})})}}))},
                                 {"b", V::boolean(false)}, {"aa", V::text("")}})});
  // A segment size of one byte rotates before the next record.
  append(1, {payload({{"unicode", V::text("\xE6\x97\xA5\xE6\x9C\xAC")}})});
  append(std::nullopt, {payload({{"arr", V::array({V::boolean(false), V::nint(-1), V::text("")})}})});
}

// One segment of two records, the first with a payload of 4000 bytes.
void write_large_log(const std::string& dir) {
  SessionId session;
  session.fill(0x22);
  auto w = Writer::open(dir, fuzz::fuzz_key(), session);
  must(w.has_value(), "open");
  AppendRecord r;
  r.ts_wall = "2024-05-01T12:00:00.000Z";
  r.actor = "user:bob";
  r.event = "file.upload";
  r.payload = payload({{"blob", PayloadValue::bytes(Bytes(4000, 0xB5))}});
  must(w->writer.append(r).has_value(), "append");
  r.payload = payload({{"size", PayloadValue::uint(4000)}});
  must(w->writer.append(r).has_value(), "append");
  must(w->writer.flush().has_value(), "flush");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <corpus directory>\n");
    return 2;
  }
  Out out(argv[1]);
  char tmpl[] = "/tmp/corvane-seeds-XXXXXX";
  must(mkdtemp(tmpl) != nullptr, "mkdtemp");
  const std::string dir = tmpl;
  write_log(dir);
  const Bytes seg0 = read_all(dir + "/audit-0000.cbor");
  const Bytes seg1 = read_all(dir + "/audit-0001.cbor");
  stdfs::remove_all(dir);
  char tmpl2[] = "/tmp/corvane-seeds-XXXXXX";
  must(mkdtemp(tmpl2) != nullptr, "mkdtemp");
  write_large_log(tmpl2);
  const Bytes large = read_all(std::string(tmpl2) + "/audit-0000.cbor");
  stdfs::remove_all(tmpl2);

  for (std::size_t i = 0; i < std::size(kRfcExamples); ++i) {
    out.put("cbor_decode", "rfc8949-" + std::to_string(i), from_hex(kRfcExamples[i]));
  }

  // Every record, for the decoders.
  int n = 0;
  for (const Bytes* seg : {&seg0, &seg1}) {
    std::uint64_t o = kHeaderLen;
    while (auto f = fuzz::frame_at(*seg, o)) {
      const Bytes record(f->record.begin(), f->record.end());
      out.put("record_decode", "record-" + std::to_string(n), record);
      if (n % 2 == 0) out.put("cbor_decode", "record-" + std::to_string(n), record);
      ++n;
      o = f->end();
    }
  }

  const Bytes header0(seg0.begin(), seg0.begin() + kHeaderLen);
  out.put("segment_header", "segment0", cat({u16le(0), header0}));
  out.put("segment_header", "segment1", cat({u16le(1), seg1}));
  out.put("segment_header", "short", cat({u16le(0), Bytes(header0.begin(), header0.end() - 1)}));
  out.put("segment_header", "index-mismatch", cat({u16le(2), header0}));

  // Recovery: flags (bit 0: segment 1), then the last segment.
  const auto last_frame_at = [](const Bytes& seg) {
    std::uint64_t last = kHeaderLen;
    std::uint64_t o = kHeaderLen;
    while (auto f = fuzz::frame_at(seg, o)) {
      last = o;
      o = f->end();
    }
    return last;
  };
  const std::uint64_t cut = last_frame_at(seg1) + 50;
  Bytes flipped = seg1;
  flipped[kHeaderLen + 30] ^= 1;
  out.put("recovery_scan", "finalized", cat({{0}, seg0}));
  out.put("recovery_scan", "open", cat({{1}, seg1}));
  out.put("recovery_scan", "header-only", cat({{0}, header0}));
  out.put("recovery_scan", "torn", cat({{1}, Bytes(seg1.begin(), seg1.begin() + static_cast<std::ptrdiff_t>(cut))}));
  out.put("recovery_scan", "stray-bytes", cat({{0}, seg0, Bytes(10, 0x5A)}));
  out.put("recovery_scan", "zero-tail", cat({{1}, seg1, Bytes(300, 0)}));
  out.put("recovery_scan", "flipped", cat({{1}, flipped}));
  out.put("recovery_scan", "flipped-resealed", cat({{1 | (fuzz::kFixMacs << 4)}, flipped}));
  out.put("recovery_scan", "rotate", cat({{1 | 2}, seg1}));
  // Segments of large frames, grown past the first 1 MiB read window: whole,
  // torn at the end, with a bad trailing length at the start (the look for
  // intact frames after it crosses the window), and with MACs left stale.
  const std::uint8_t chain_macs = (fuzz::kFixChain | fuzz::kFixMacs) << 4;
  const auto grown = static_cast<std::uint8_t>(4 | chain_macs);
  // The first frame's trailing length and the second frame's record
  // damaged in every copy: no intact frame anywhere, all is cut.
  Bytes large_torn_start = large;
  const std::size_t second_frame = kHeaderLen + load_u32le(&large[kHeaderLen]) + kFrameOverhead;
  large_torn_start[second_frame - 1] ^= 1;
  large_torn_start[second_frame + 20] ^= 1;
  out.put("recovery_scan_large", "grown", cat({{grown, 160, 0}, large}));
  out.put("recovery_scan_large", "grown-torn", cat({{grown, 160, 50}, large}));
  out.put("recovery_scan_large", "grown-torn-start", cat({{grown, 1, 0}, large_torn_start}));
  out.put("recovery_scan_large", "grown-stale", cat({{4, 255, 0}, large}));

  // Verification: flags, two bytes for grow(), the first segment's length
  // and bytes, the second.
  const auto verify_seed = [&](const std::string& name, std::uint8_t flags, std::uint8_t size_byte,
                               const Bytes& first, const Bytes& second) {
    const Bytes seed = cat({{flags, size_byte, 0}, u16le(first.size()), first, second});
    out.put("verify_segment", name, seed);
    out.put("read_log", name, seed);
    out.put("writer_open", name, seed);
  };
  Bytes discontinuous = seg1;
  discontinuous[kHeaderPrevFinalOffset] ^= 1;
  verify_seed("intact", 0, 0, seg0, seg1);
  verify_seed("forensic-flipped", 1, 0, seg0, flipped);
  verify_seed("segment1-only", 2, 0, seg1, {});
  verify_seed("gap", 4 | 8, 0, seg0, seg1);
  verify_seed("torn", 0, 0, seg0, Bytes(seg1.begin(), seg1.begin() + static_cast<std::ptrdiff_t>(cut)));
  verify_seed("resealed", 0xF0 | 8, 0, seg0, flipped);
  verify_seed("discontinuity", fuzz::kFixCrc << 4, 0, seg0, discontinuous);
  // Grown past the first 1 MiB read window.
  // Segment 1 half made (a prefix of its header, or zeros) after stray bytes.
  const Bytes seg0_stray = cat({seg0, Bytes(7, 0x5A)});
  verify_seed("remnant-prefix", 0, 0, seg0_stray, Bytes(seg1.begin(), seg1.begin() + 40));
  verify_seed("remnant-zeros", 1, 0, seg0, Bytes(kHeaderLen, 0));
  out.put("verify_segment_large", "grown",
          cat({{static_cast<std::uint8_t>(chain_macs | (fuzz::kFixCrc << 4) | 8), 160, 0}, u16le(seg0.size()), seg0, large}));
  out.put("verify_segment_large", "grown-torn", cat({{chain_macs, 7, 99}, u16le(large.size()), large}));
  return 0;
}
