// A tiny timing harness: runs a body in batches and reports the fastest
// batch's nanoseconds per operation (the least disturbed by other load).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "corvane/record.h"

namespace bench {

// The typical audit record of the benchmarks (about 300 bytes encoded); the
// Python benchmark builds the same one.
inline corvane::AppendRecord typical_record(std::uint64_t i = 0) {
  using corvane::PayloadValue;
  corvane::AppendRecord r;
  r.ts_wall = "2026-12-06T07:16:15.123Z";
  r.actor = "user:alice@example.com";
  r.event = "document.update";
  r.ts_mono_delta = i;
  std::vector<corvane::PayloadMap::Entry> fields;
  fields.emplace_back("document_id", PayloadValue::text("3f2c9a1e-7b44-4d0c-9d8e-2a51c3e0f9b7"));
  fields.emplace_back("ip", PayloadValue::text("203.0.113.42"));
  fields.emplace_back("bytes_changed", PayloadValue::uint(48213));
  fields.emplace_back("approved", PayloadValue::boolean(true));
  fields.emplace_back("reason", PayloadValue::text("quarterly review: figures corrected"));
  r.payload = corvane::PayloadMap::from_unsorted(std::move(fields));
  return r;
}

template <typename Body>
double best_ns_per_op(std::uint64_t ops_per_batch, int batches, Body&& body) {
  double best = 1e300;
  for (int b = 0; b < batches; ++b) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < ops_per_batch; ++i) body(i);
    const auto end = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(end - start).count() / double(ops_per_batch);
    if (ns < best) best = ns;
  }
  return best;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Keeps a value alive so the optimiser cannot drop the work producing it.
template <typename T>
inline void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

inline void row(const std::string& name, double value, const char* unit, double baseline = 0) {
  if (baseline > 0) {
    std::printf("  %-44s %12.1f %-10s (%.2fx baseline)\n", name.c_str(), value, unit, value / baseline);
  } else {
    std::printf("  %-44s %12.1f %s\n", name.c_str(), value, unit);
  }
}

}  // namespace bench
