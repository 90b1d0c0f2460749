// Appending through the core writer (rotation on, default segment size)
// beside a floor loop that does only what an append cannot avoid: the HMAC
// of the record's bytes and one write() of a frame of the same size. Also
// the cost of a flush after an append. Usage: writer_bench [records]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "bench.h"
#include "corvane/key.h"
#include "corvane/record.h"
#include "corvane/writer.h"
#include "writer/writer_probe.h"

using namespace corvane;

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "writer_bench: %s\n", what.c_str());
  std::exit(1);
}

// Records per second of the floor: mac plus one write() per record.
double floor_rate(const std::string& path, const Key& key, const Bytes& record, std::uint64_t n) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die("cannot create " + path);
  Bytes frame(record.size() + kFrameOverhead);
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < n; ++i) {
    const Mac mac = key.mac(record);
    std::copy(mac.begin(), mac.end(), frame.begin() + 4 + static_cast<std::ptrdiff_t>(record.size()));
    if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) die("write failed");
  }
  const double rate = double(n) / bench::seconds_since(start);
  ::close(fd);
  std::filesystem::remove(path);
  return rate;
}

double writer_rate(const std::string& dir, const KeyHandle& key, AppendRecord record, std::uint64_t n, bool rotation) {
  auto opened = Writer::open(dir, key, SessionId{});
  if (!opened) die("open: " + opened.error().to_string());
  detail::WriterProbe::set_rotation_enabled(opened->writer, rotation);
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < n; ++i) {
    record.ts_mono_delta = i;
    if (auto id = opened->writer.append(record); !id) die("append: " + id.error().to_string());
  }
  const double rate = double(n) / bench::seconds_since(start);
  opened->writer.close();
  std::filesystem::remove_all(dir);
  return rate;
}

// Latency of each append over one run with rotation on, in microseconds:
// p50, p99, p99.9 and the slowest (which includes a full segment's sync).
std::array<double, 4> append_latencies(const std::string& dir, const KeyHandle& key, AppendRecord record,
                                       std::uint64_t n, std::uint64_t writeback_bytes) {
  auto opened = Writer::open(dir, key, SessionId{});
  if (!opened) die("open: " + opened.error().to_string());
  detail::WriterProbe::set_writeback_bytes(opened->writer, writeback_bytes);
  std::vector<float> us(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    record.ts_mono_delta = i;
    const auto start = std::chrono::steady_clock::now();
    if (auto id = opened->writer.append(record); !id) die("append: " + id.error().to_string());
    us[i] = static_cast<float>(bench::seconds_since(start) * 1e6);
  }
  opened->writer.close();
  std::filesystem::remove_all(dir);
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) { return double(us[std::min<std::size_t>(n - 1, std::size_t(q * double(n)))]); };
  return {at(0.5), at(0.99), at(0.999), double(us.back())};
}

// CPU seconds of this process (user and system): the write() calls are
// system time, and CPU time is less disturbed by other load than wall time.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  // `writer_bench --append-cpu N DIR`: only the writer's appends, as records
  // per CPU second, for the Python benchmark to compare against in its run.
  if (argc == 4 && std::string(argv[1]) == "--append-cpu") {
    const std::uint64_t n = std::strtoull(argv[2], nullptr, 10);
    std::array<std::uint8_t, 32> key_bytes;
    for (std::size_t i = 0; i < key_bytes.size(); ++i) key_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const KeyHandle key = make_in_memory_key(key_bytes);
    auto opened = Writer::open(argv[3], key, SessionId{});
    if (!opened) die("open: " + opened.error().to_string());
    AppendRecord record = bench::typical_record();
    const double start = cpu_seconds();
    for (std::uint64_t i = 0; i < n; ++i) {
      record.ts_mono_delta = i;
      if (auto id = opened->writer.append(record); !id) die("append: " + id.error().to_string());
    }
    std::printf("%.1f\n", double(n) / (cpu_seconds() - start));
    return 0;
  }
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::string base = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
  if (mkdtemp(base.data()) == nullptr) die("mkdtemp failed");

  std::array<std::uint8_t, 32> key_bytes;
  for (std::size_t i = 0; i < key_bytes.size(); ++i) key_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const KeyHandle key = make_in_memory_key(key_bytes);
  const AppendRecord record = bench::typical_record();
  const Bytes bytes = encode_record(record, SessionId{}, key->key_id(), Mac{}, 500000);

  // Alternating rounds, best of each: page-cache writeback disturbs both.
  double floor = 0, writer = 0, one_segment = 0;
  for (int round = 0; round < 2; ++round) {
    floor = std::max(floor, floor_rate(base + "/floor", *key, bytes, n));
    writer = std::max(writer, writer_rate(base + "/log", key, record, n, true));
    one_segment = std::max(one_segment, writer_rate(base + "/log", key, record, n, false));
  }

  // Writeback started as segments fill (the default) against none at all, so
  // that the rotation's sync writes the whole segment (how it was before).
  const auto lat = append_latencies(base + "/log", key, record, n, 1 << 20);
  const auto lat_none = append_latencies(base + "/log", key, record, n, std::uint64_t(1) << 62);

  auto opened = Writer::open(base + "/flush", key, SessionId{});
  if (!opened) die("open: " + opened.error().to_string());
  double flush_ms = 1e300;
  for (int i = 0; i < 50; ++i) {
    if (!opened->writer.append(record)) die("append failed");
    const auto start = std::chrono::steady_clock::now();
    if (!opened->writer.flush()) die("flush failed");
    flush_ms = std::min(flush_ms, bench::seconds_since(start) * 1e3);
  }
  opened->writer.close();
  std::filesystem::remove_all(base);

  std::printf("writer, %llu records of %zu bytes (frames of %zu), best of 2 rounds\n",
              static_cast<unsigned long long>(n), bytes.size(), bytes.size() + kFrameOverhead);
  bench::row("floor: mac + one write() per record", floor, "records/s");
  bench::row("Writer::append (rotation on, 64 MiB segments)", writer, "records/s", floor);
  std::printf("    -> target >= 0.75x the floor\n");
  // Without rotation's syncs of each full segment: the writer's own work.
  bench::row("Writer::append (rotation off)", one_segment, "records/s", floor);
  bench::row("flush after one append (best of 50)", flush_ms, "ms");
  std::printf("  append latency, rotation on (us)              p50 %.1f  p99 %.1f  p99.9 %.1f  max %.1f\n", lat[0],
              lat[1], lat[2], lat[3]);
  std::printf("    without writeback while filling (us)       p50 %.1f  p99 %.1f  p99.9 %.1f  max %.1f\n", lat_none[0],
              lat_none[1], lat_none[2], lat_none[3]);
  std::printf("    -> target: slowest append < 10000 us\n");
  return 0;
}
