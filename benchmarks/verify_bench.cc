// Verification and cursor throughput over a large log (1,000,000 records of
// about 300 bytes by default), beside the floor measured in the same run: the
// key's mac over the same record bytes held in memory, nothing else. Times
// are this process's CPU time (system time included), best of three runs:
// the walk is CPU-bound once the log is in the page cache, and CPU time is
// far less disturbed than wall time by other load on a shared machine.
//
//   verify_bench [records] [directory]   (directory: a fresh temporary one)
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "bench.h"
#include "corvane/reader.h"
#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"

using namespace corvane;

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

int fail(const std::string& what) {
  std::fprintf(stderr, "verify_bench: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::string dir;
  bool remove_dir = false;
  if (argc > 2) {
    dir = argv[2];
  } else {
    std::string tmpl = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) return fail("mkdtemp failed");
    dir = tmpl;
    remove_dir = true;
  }

  std::array<std::uint8_t, 32> key_bytes;
  for (std::size_t i = 0; i < key_bytes.size(); ++i) key_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const KeyHandle key = make_in_memory_key(key_bytes);

  auto listed = list_segments(dir, MissingDirectory::kIsEmpty);
  if (!listed) return fail(listed.error().to_string());
  if (listed->empty()) {
    auto opened = Writer::open(dir, key, SessionId{});
    if (!opened) return fail(opened.error().to_string());
    for (std::uint64_t i = 0; i < records; ++i) {
      auto id = opened->writer.append(bench::typical_record(i));
      if (!id) return fail(id.error().to_string());
    }
    opened->writer.close();
    listed = list_segments(dir, MissingDirectory::kIsError);
  }

  constexpr int kRuns = 3;

  // Floor: each segment's frames in memory, one mac per record.
  std::uint64_t bytes = 0;
  std::uint64_t frames = 0;
  double mac_seconds = 0;
  for (std::uint16_t index : *listed) {
    auto file = open_file(segment_path(dir, index), O_RDONLY);
    if (!file) return fail(file.error().to_string());
    auto size = file_size(*file);
    if (!size) return fail(size.error().to_string());
    Bytes data(*size);
    if (auto read = read_exact_at(*file, 0, data); !read) return fail(read.error().to_string());
    bytes += data.size();
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
      std::uint64_t n = 0;
      const double start = cpu_seconds();
      for (std::uint64_t o = kHeaderLen; o + kFrameOverhead <= data.size(); ++n) {
        const std::uint32_t len = load_u32le(&data[o]);
        bench::keep(key->mac(ByteView(&data[o + kFrameLenField], len))[0]);
        o += len + kFrameOverhead;
      }
      best = std::min(best, (cpu_seconds() - start));
      if (run == 0) frames += n;
    }
    mac_seconds += best;
  }
  const double mb = double(bytes) / 1e6;

  double verify_seconds = 1e300;
  std::uint64_t inspected = 0;
  for (int run = 0; run < kRuns; ++run) {
    const double start = cpu_seconds();
    auto report = verify(dir, key);
    verify_seconds = std::min(verify_seconds, (cpu_seconds() - start));
    if (!report) return fail(report.error().to_string());
    if (report->verdict != Verdict::kVerified) return fail("log does not verify: " + compact_verdict(*report));
    inspected = report->log.records_inspected;
  }

  double cursor_seconds = 1e300;
  std::uint64_t walked = 0;
  for (int run = 0; run < kRuns; ++run) {
    const double start = cpu_seconds();
    walked = 0;
    auto cursor = RecordCursor::open(dir);
    if (!cursor) return fail(cursor.error().to_string());
    for (;;) {
      auto next = cursor->next();
      if (!next) return fail(next.error().to_string());
      if (!*next) break;
      ++walked;
    }
    cursor_seconds = std::min(cursor_seconds, (cpu_seconds() - start));
  }

  std::printf("verification of %llu records, %.1f MB in %zu segments\n", static_cast<unsigned long long>(frames), mb,
              listed->size());
  bench::row("mac over the record bytes in memory (floor)", mb / mac_seconds, "MB/s");
  bench::row("verify", mb / verify_seconds, "MB/s", mb / mac_seconds);
  bench::row("mac floor", double(frames) / mac_seconds, "records/s");
  bench::row("verify", double(inspected) / verify_seconds, "records/s", double(frames) / mac_seconds);
  std::printf("    -> verify reaches %.2fx the mac floor (target >= 0.6x)\n", mac_seconds / verify_seconds);
  bench::row("record cursor (strict decode, no MAC)", double(walked) / cursor_seconds, "records/s",
             double(inspected) / verify_seconds);
  std::printf("    -> the cursor reads %.2fx as many records per second as verify (target >= 1.0x)\n",
              (double(walked) / cursor_seconds) / (double(inspected) / verify_seconds));

  if (remove_dir) std::filesystem::remove_all(dir);
  return 0;
}
