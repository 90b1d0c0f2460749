// Incremental and parallel verification beside full sequential verification
// of the same log, in the same run. Wall-clock times, best of several runs
// (threads make CPU time the wrong measure here).
//
// A log of 1 GiB in 64 MiB segments (16 segments) is checkpointed at its
// head, then 1 MiB is appended: verify_span(since=checkpoint) against
// verify() of the whole log (target: under 30 ms and at least 50x less), and
// verify_span(jobs=2) against verify() (target: at least 1.7x on two cores).
// With CORVANE_BENCH_LARGE=1 the incremental walk is also timed on a 4 GiB
// log, whose cost must not grow with what lies before the checkpoint (left
// out by default: writing 4 GiB takes about half a minute here).
//
//   span_bench [directory]   (default: a fresh temporary one, removed after)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "bench.h"
#include "corvane/verifier.h"
#include "corvane/verify_span.h"
#include "corvane/writer.h"

using namespace corvane;

namespace {

int fail(const std::string& what) {
  std::fprintf(stderr, "span_bench: %s\n", what.c_str());
  std::exit(1);
}

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Best wall time of `runs` calls, in seconds; `cpu`, if given, receives the
// process's CPU time (all threads) of that run.
double best_of(int runs, const std::function<void()>& body, double* cpu = nullptr) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    body();
    const double wall = bench::seconds_since(start);
    if (wall < best && cpu != nullptr) *cpu = cpu_seconds() - cpu_start;
    best = std::min(best, wall);
  }
  return best;
}

// Appends records until the log has grown by `bytes`.
void grow(const std::string& dir, const KeyHandle& key, std::uint64_t bytes) {
  auto opened = Writer::open(dir, key, SessionId{});
  if (!opened) fail(opened.error().to_string());
  std::uint64_t written = 0;
  for (std::uint64_t i = 0; written < bytes; ++i) {
    const AppendRecord r = bench::typical_record(i);
    auto id = opened->writer.append(r);
    if (!id) fail(id.error().to_string());
    written += 330;  // about one frame of the typical record
  }
  opened->writer.close();
}

struct Incremental {
  double with_offset = 0, without_offset = 0;
  std::uint64_t records = 0;
};

// Checkpoints the log at its head, appends 1 MiB, and times the walk from there.
Incremental incremental(const std::string& dir, const KeyHandle& key) {
  auto cp = create_checkpoint(dir, key);
  if (!cp) fail("checkpoint failed");
  SpanOptions since;
  since.since = Checkpoint{cp->segment, cp->record_id, {}, key->key_id(), "bench"};
  for (std::size_t i = 0; i < 32; ++i) {
    since.since->hmac[i] = static_cast<std::uint8_t>(std::stoul(cp->hmac_hex.substr(2 * i, 2), nullptr, 16));
  }
  grow(dir, key, 1 << 20);
  Incremental out;
  std::optional<std::uint64_t> pinned_at;
  const auto run = [&] {
    auto r = verify_span(dir, key, since);
    if (!r || r->report.verdict != Verdict::kVerified) fail("incremental walk failed");
    out.records = r->report.log.records_inspected;
    if (r->span.start) pinned_at = r->span.start->offset;
  };
  out.without_offset = best_of(5, run);  // the pinned segment's framing walked to the record
  since.since_offset = pinned_at;        // as the package's checkpoints carry it
  out.with_offset = best_of(20, run);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  const bool remove_dir = argc <= 1;
  if (argc > 1) {
    dir = argv[1];
  } else {
    std::string tmpl = (std::filesystem::temp_directory_path() / "corvane-span-bench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) fail("mkdtemp failed");
    dir = tmpl;
  }
  std::array<std::uint8_t, 32> key_bytes;
  for (std::size_t i = 0; i < key_bytes.size(); ++i) key_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const KeyHandle key = make_in_memory_key(key_bytes);

  const std::string log = dir + "/1gib";
  if (!std::filesystem::exists(log)) grow(log, key, std::uint64_t{1} << 30);

  VerifyReport full_report;
  double full_cpu = 0, parallel_cpu = 0;
  const double full = best_of(
      2,
      [&] {
        auto r = verify(log, key);
        if (!r || r->verdict != Verdict::kVerified) fail("full verification failed");
        full_report = std::move(*r);
      },
      &full_cpu);
  SpanOptions two;
  two.jobs = 2;
  const double parallel = best_of(
      2,
      [&] {
        auto r = verify_span(log, key, two);
        if (!r || !(r->report == full_report)) fail("parallel report differs from the sequential one");
      },
      &parallel_cpu);
  const Incremental inc = incremental(log, key);

  std::printf("span verification, a log of %u segments of 64 MiB (%llu records)\n", full_report.log.segments_inspected,
              static_cast<unsigned long long>(full_report.log.records_inspected));
  bench::row("verify, whole log, 1 thread (baseline)", full * 1e3, "ms");
  bench::row("verify_span jobs=2, whole log", parallel * 1e3, "ms");
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf("    -> jobs=2 runs at %.2fx the sequential rate (target >= 1.7x; load average %.1f on %u CPUs)\n",
              full / parallel, load[0], std::thread::hardware_concurrency());
  std::printf("       CPU time of the two walks: %.0f ms and %.0f ms (%.2fx: the work the threads share)\n",
              full_cpu * 1e3, parallel_cpu * 1e3, parallel_cpu / full_cpu);
  bench::row("verify_span since head, 1 MiB appended", inc.with_offset * 1e3, "ms");
  bench::row("  same, checkpoint without offset", inc.without_offset * 1e3, "ms");
  std::printf("    -> incremental: %.1f ms for %llu records, %.0fx less than the whole log (target < 30 ms, >= 50x)\n",
              inc.with_offset * 1e3, static_cast<unsigned long long>(inc.records), full / inc.with_offset);

  if (const char* large = std::getenv("CORVANE_BENCH_LARGE"); large != nullptr && std::string(large) == "1") {
    const std::string big = dir + "/4gib";
    if (!std::filesystem::exists(big)) grow(big, key, std::uint64_t{4} << 30);
    const Incremental on_big = incremental(big, key);
    bench::row("verify_span since head, 4 GiB log", on_big.with_offset * 1e3, "ms");
    std::printf("    -> 4 GiB / 1 GiB incremental cost: %.2fx (target: within noise of 1x)\n",
                on_big.with_offset / inc.with_offset);
  } else {
    std::printf("    (set CORVANE_BENCH_LARGE=1 to compare with a 4 GiB log)\n");
  }
  if (remove_dir) std::filesystem::remove_all(dir);
  return 0;
}
