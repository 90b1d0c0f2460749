#include "corvane/verify_span.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "verifier/segment_walk.h"

namespace corvane {

namespace detail {

namespace {

struct Task {
  std::uint16_t index = 0;
  WalkStart start;
};

// Walks every task on `jobs` threads (the calling one among them), each
// without the carry; a task past the first one with a violation is skipped
// outside forensic mode, since the join stops there. An exception thrown on
// a worker (out of memory) is rethrown here.
std::vector<std::optional<SegmentWalk>> walk_apart(const WalkContext& ctx, const std::vector<Task>& tasks,
                                                   unsigned jobs) {
  std::vector<std::optional<SegmentWalk>> walks(tasks.size());
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first_stop{tasks.size()};
  std::mutex failed_mutex;
  std::exception_ptr failed;
  const auto work = [&]() noexcept {
    try {
      for (std::size_t i; (i = next.fetch_add(1)) < tasks.size();) {
        if (!ctx.options.forensic && i > first_stop.load()) break;
        walks[i] = walk_segment(ctx, tasks[i].index, nullptr, tasks[i].start);
        if (!ctx.options.forensic && (walks[i]->violation || walks[i]->error)) {
          std::size_t seen = first_stop.load();
          while (i < seen && !first_stop.compare_exchange_weak(seen, i)) {
          }
        }
      }
    } catch (...) {
      const std::lock_guard lock(failed_mutex);
      if (!failed) failed = std::current_exception();
      next.store(tasks.size());
    }
  };
  std::vector<std::thread> threads;
  try {
    for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // No more threads to be had: those started and this one share the work.
  }
  work();
  for (std::thread& t : threads) t.join();
  if (failed) std::rethrow_exception(failed);
  return walks;
}

}  // namespace

std::expected<SpanReport, VerifyError> run_verification(const std::string& dir, const KeyHandle& key,
                                                        const SpanOptions& options, VerifiedHead* head) {
  // Never a hole that a rotation running during the listing made up: the
  // join would take it for a discontinuity.
  auto listed = reader_list_segments(dir);
  if (!listed) return std::unexpected(VerifyError{VerifyError::Kind::kOpenLogDirectory, listed.error(), {}, {}});
  VerifyOptions verify_options = options.verify;
  if (options.since) verify_options.checkpoint = options.since;
  const KeyId& key_id = key->key_id();
  if (verify_options.checkpoint && !ct_equal(verify_options.checkpoint->key_id, key_id)) {
    return std::unexpected(VerifyError{
        VerifyError::Kind::kCheckpointKeyMismatch, {}, hex(key_id), hex(verify_options.checkpoint->key_id)});
  }

  // An incremental walk starts in the pinned segment; nothing before it is read.
  std::vector<Task> tasks;
  for (std::uint16_t index : *listed) {
    if (options.since && index < options.since->segment) continue;
    if (options.since && tasks.empty() && index != options.since->segment) break;
    tasks.push_back(Task{index, {}});
  }
  if (options.since && !tasks.empty()) {
    tasks.front().start.pinned = true;
    tasks.front().start.pin_offset = options.since_offset;
  }
  if (options.live && !tasks.empty()) tasks.back().start.horizon = true;

  SpanReport out;
  VerifyReport& report = out.report;
  LogSummary& log = report.log;
  log.log_dir = dir;
  log.key_id_hex = hex(key_id);
  if (options.since) {
    if (!tasks.empty()) log.first_segment_index = tasks.front().index;
  } else if (!listed->empty()) {
    log.first_segment_index = listed->front();
  }

  const WalkContext ctx{dir, *key, key_id, verify_options, options.progress};
  Join join(ctx, report);
  const auto done = [&] {
    out.span = std::move(join.span);
    if (!log.final_hmac_hex) out.span.end.reset();  // a walk that stopped early proved no head
    return std::move(out);
  };
  if (options.since && tasks.empty()) {
    join.finish();  // the pinned segment is gone: the checkpoint is truncated
    return done();
  }

  unsigned jobs = options.jobs == 0 ? std::max(1u, std::thread::hardware_concurrency()) : options.jobs;
  jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, tasks.size()));
  if (jobs <= 1) {
    for (const Task& task : tasks) {
      auto go_on = join.take(walk_segment(ctx, task.index, &join.carry(), task.start), false);
      if (!go_on) return std::unexpected(go_on.error());
      // Stopped at the first violation: no final head, no truncation check.
      if (!*go_on) return done();
    }
  } else {
    std::vector<std::optional<SegmentWalk>> walks = walk_apart(ctx, tasks, jobs);
    for (std::size_t i = 0; i < tasks.size(); ++i) {
      // Only tasks past one with a violation were skipped; the join stops
      // there, unless that segment changed since its walk.
      std::optional<SegmentWalk>& walk = walks[i];
      auto go_on =
          join.take(walk ? std::move(*walk) : walk_segment(ctx, tasks[i].index, nullptr, tasks[i].start), true);
      if (!go_on) return std::unexpected(go_on.error());
      if (!*go_on) return done();
    }
  }
  join.finish();
  if (head != nullptr && log.final_hmac_hex) *head = join.head;
  return done();
}

}  // namespace detail

std::expected<SpanReport, VerifyError> verify_span(const std::string& dir, const KeyHandle& key,
                                                   const SpanOptions& options) {
  return detail::run_verification(dir, key, options, nullptr);
}

}  // namespace corvane
