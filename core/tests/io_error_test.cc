// I/O errors. A workload that recovers a damaged log, appends across
// rotations, flushes, closes and reopens runs once to count its system
// calls; then every call in turn fails: once and from then on with ENOSPC
// and EIO, interrupted once and three times in a row, and (reads and
// writes) short or, for writes, with nothing written. Every failure must
// reach the caller as an I/O error of the call that failed, interruptions
// and short transfers must change nothing, a failed sync must stop the
// writer until it is reopened, and afterwards the log must hold exactly the
// records whose append succeeded, take one more, and verify.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iostream>
#include <optional>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/fault_fs.h"
#include "support/sim_fs.h"
#include "support/test_util.h"
#include "support/written_log.h"
#include "writer/writer_probe.h"

namespace corvane {
namespace {

using namespace corvane::testing;

constexpr char kDir[] = "/logs/a/audit";
constexpr std::uint64_t kSegmentSize = 900;  // about two records a segment

// One call of the writer's interface: the system calls it made, numbered
// from 0, and how it ended. Sessions count opens.
struct Op { std::string name; int first = 0, end = 0, session = 0; std::optional<WriterError> error; };
// `appended`: the records whose append succeeded.
struct Outcome { std::vector<Op> ops; std::vector<std::uint64_t> appended; };

// Leaves a temporary file and a few bytes after the last segment's frames,
// behind the fault injector's back, for the next open to clean up.
void damage(SimFs& sim) {
  std::vector<std::string> names;
  if (sim.list_dir(kDir, &names) != 0) return;
  sim.close(sim.open((std::string(kDir) + "/audit-0009.cbor.tmp").c_str(), O_RDWR | O_CREAT, 0666));
  std::optional<std::uint16_t> last;
  for (const auto& n : names) last = std::max(last, parse_segment_file_name(n));
  const int fd = last ? sim.open(segment_path(kDir, *last).c_str(), O_RDWR, 0) : -1;
  std::uint64_t size = 0;
  const std::uint8_t junk[7] = {1, 2, 3, 4, 5, 6, 7};
  if (sim.fsize(fd, &size) == 0) sim.pwrite(fd, junk, sizeof junk, static_cast<off_t>(size)), sim.close(fd);
}

std::optional<WriterError> error_of(const auto& result) { return result ? std::nullopt : std::optional(result.error()); }

// o: open, a: append, f: flush, c: close, d: damage.
Outcome run_workload(SimFs& sim, const FaultFs& faults) {
  Outcome run;
  const KeyHandle key = test_key();
  std::optional<Writer> w;
  int session = 0;
  std::uint64_t i = 0;
  for (const char step : std::string("oaaafcdoaaaafafcoaaafc")) {
    if (step == 'd') damage(sim);
    session += step == 'o';
    i += step == 'a';
    if (step == 'd' || (!w && step != 'o')) continue;
    Op o{step == 'a' ? "append " + std::to_string(i - 1) : step == 'o' ? "open" : step == 'f' ? "flush" : "close",
         faults.calls(FsOp::kAny), 0, session, {}};
    if (step == 'o') {
      auto opened = Writer::open(kDir, key, test_session(), kSegmentSize);
      // Every frame's writeback started, so its failures are tried too.
      if (opened) detail::WriterProbe::set_writeback_bytes(w.emplace(std::move(opened->writer)), 1);
      o.error = error_of(opened);
    }
    if (step == 'a' && !(o.error = error_of(w->append(sample_record(i - 1, 60))))) run.appended.push_back(i - 1);
    if (step == 'f') o.error = error_of(w->flush());
    if (step == 'c') w.reset();
    o.end = faults.calls(FsOp::kAny);
    run.ops.push_back(std::move(o));
  }
  return run;
}

// `error`: what the failing call must surface as; none: absorbed.
struct Trial { std::string kind; Fault fault; std::optional<IoError> error; };

// The faults to try at call `at`, an `op`.
std::vector<Trial> faults_at(int at, FsOp op) {
  std::vector<Trial> out;
  // Starting writeback is advisory: its failures (persistent ones: every
  // writeback call, while the other calls work) are left to the next sync.
  const bool advisory = op == FsOp::kWriteback;
  for (int err : {ENOSPC, EIO})
    for (int times : {1, Fault::kForever}) {
      const bool every = advisory && times == Fault::kForever;
      out.push_back({std::string(times == 1 ? "once " : "from then on ") + (err == EIO ? "EIO" : "ENOSPC"),
                     {.op = every ? op : FsOp::kAny, .nth = every ? 1 : at, .err = err, .times = times},
                     advisory ? std::nullopt : std::optional(IoError::from_errno(err))});
    }
  for (int times : {1, 3}) out.push_back({"EINTR x" + std::to_string(times), {.nth = at, .err = EINTR, .times = times}, {}});
  for (int times : {1, Fault::kForever})
    if (op == FsOp::kPread || op == FsOp::kPwrite) out.push_back({"short x" + std::to_string(times), {.nth = at, .times = times, .max_bytes = 1}, {}});
  if (op == FsOp::kPwrite) out.push_back({"nothing written", {.nth = at}, IoError::write_zero()});
  return out;
}

// What is wrong with a run under `f`, which broke call `failed` (from 0).
std::vector<std::string> problems(const Outcome& run, const Trial& f, int failed, const std::vector<FsOp>& trace) {
  std::vector<std::string> out;
  const FsOp op = trace.at(failed);
  // A failed close loses nothing (durability comes from syncs), so it is
  // not reported.
  const bool absorbed = !f.error || (op == FsOp::kClose && f.fault.times == 1);
  const auto holds = [&](const Op& o) { return o.first <= failed && failed < o.end; };
  for (const Op& o : run.ops) {
    if (absorbed && o.error) out.push_back(o.name + " failed: " + o.error->to_string());
    if (!absorbed && holds(o) && op != FsOp::kClose && (!o.error || o.error->kind != WriterError::Kind::kIo || o.error->io != *f.error))
      out.push_back(o.name + " made the failing call but returned " + (o.error ? o.error->to_string() : "success"));
  }
  // A failed sync is never retried, and the writer refuses everything after
  // it until reopened.
  const auto in = std::ranges::find_if(run.ops, holds);
  for (auto o = in; f.error && op == FsOp::kSync && o != run.ops.end() && o->session == in->session; ++o) {
    if (o->name == "close" || o->name == "open") continue;
    if (!o->error) out.push_back(o->name + " succeeded after a failed sync");
    const auto from = trace.begin() + std::min<int>(std::max(o->first, failed + 1), trace.size());
    const auto to = trace.begin() + std::min<int>(o->end, trace.size());
    if (std::count(from, to, FsOp::kSync) != 0) out.push_back(o->name + " synced again after a failed sync");
  }
  return out;
}

TEST(IoErrorTest, EveryFailingCallReachesTheCallerAndLosesNothing) {
  const std::vector<FsOp> trace = [] {
    SimFs sim;
    FaultFs faults(sim);
    const Outcome clean = run_workload(sim, faults);
    EXPECT_EQ(clean.appended.size(), 11u);
    return faults.trace();
  }();
  // The workload reaches every kind of call the writer makes.
  for (int op = 0; op < static_cast<int>(FsOp::kAny); ++op)
    EXPECT_TRUE(op == static_cast<int>(FsOp::kExists) || std::ranges::count(trace, FsOp(op)) != 0) << fs_op_name(FsOp(op));
  const KeyHandle key = test_key();
  int runs = 0, reported = 0;
  for (int at = 1; at <= static_cast<int>(trace.size()); ++at) {
    for (const Trial& f : faults_at(at, trace[at - 1])) {
      SimFs sim;
      FaultFs seam(sim);
      Outcome run;
      std::vector<std::string> wrong;
      {
        FaultFs faults(sim);
        faults.add(f.fault);
        run = run_workload(sim, faults);
        wrong = problems(run, f, at - 1, faults.trace());
        if (faults.broken().empty()) wrong.push_back("the fault never fired");
      }
      auto found = check_recovers(kDir, key, run.appended, run.appended.size(), 1'000'000, kSegmentSize);
      if (!found) wrong.push_back("afterwards: " + found.error());
      if (sim.open_files() != 0) wrong.push_back("descriptors left open");
      ++runs;
      for (const std::string& w : wrong)
        if (++reported <= 20) ADD_FAILURE() << "call " << at << " (" << fs_op_name(trace[at - 1]) << "), " << f.kind << ": " << w;
    }
  }
  EXPECT_EQ(reported, 0);
  std::cout << trace.size() << " calls, " << runs << " runs\n";
}

}  // namespace
}  // namespace corvane
