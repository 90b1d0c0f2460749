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

#include <cerrno>
#include <functional>
#include <iostream>
#include <optional>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/fault_fs.h"
#include "support/log_check.h"
#include "support/sim_fs.h"
#include "support/test_util.h"

namespace corvane {
namespace {

using namespace corvane::testing;

constexpr char kDir[] = "/logs/a/audit";
constexpr std::uint64_t kSegmentSize = 900;  // about two records a segment
constexpr std::uint64_t kProbe = 1'000'000;

// One call of the writer's interface: which system calls it made, and how
// it ended. Sessions count opens.
struct Op {
  std::string name;
  int first = 0, end = 0;  // system calls [first, end), numbered from 0
  int session = 0;
  std::optional<WriterError> error;
};

struct Outcome {
  std::vector<Op> ops;
  std::vector<std::uint64_t> appended;  // records whose append succeeded
};

// Writes a few bytes at the end of the last segment and leaves a temporary
// file, behind the fault injector's back, so that the next open has a torn
// tail to cut and a file to remove.
void damage(SimFs& sim) {
  std::vector<std::string> names;
  if (sim.list_dir(kDir, &names) != 0) return;
  const int tmp = sim.open((std::string(kDir) + "/audit-0009.cbor.tmp").c_str(), O_RDWR | O_CREAT, 0666);
  sim.close(tmp);
  std::optional<std::uint16_t> last;
  for (const auto& n : names) last = std::max(last, parse_segment_file_name(n));
  if (!last) return;
  const int fd = sim.open(segment_path(kDir, *last).c_str(), O_RDWR, 0);
  std::uint64_t size = 0;
  sim.fsize(fd, &size);
  const std::uint8_t junk[7] = {1, 2, 3, 4, 5, 6, 7};
  sim.pwrite(fd, junk, sizeof junk, static_cast<off_t>(size));
  sim.close(fd);
}

Outcome run_workload(SimFs& sim, const FaultFs& faults) {
  Outcome run;
  const KeyHandle key = test_key();
  std::optional<Writer> w;
  int session = 0;
  const auto op = [&](std::string name, const std::function<std::optional<WriterError>()>& body) {
    Op o{std::move(name), faults.calls(FsOp::kAny), 0, session, std::nullopt};
    o.error = body();
    o.end = faults.calls(FsOp::kAny);
    run.ops.push_back(std::move(o));
  };
  const auto open = [&] {
    ++session;
    op("open", [&]() -> std::optional<WriterError> {
      auto opened = Writer::open(kDir, key, test_session(), kSegmentSize);
      if (!opened) return opened.error();
      w.emplace(std::move(opened->writer));
      return std::nullopt;
    });
  };
  const auto append = [&](std::uint64_t i) {
    if (!w) return;
    op("append " + std::to_string(i), [&]() -> std::optional<WriterError> {
      auto id = w->append(sample_record(i, 60));
      if (!id) return id.error();
      run.appended.push_back(i);
      return std::nullopt;
    });
  };
  const auto flush = [&] {
    if (!w) return;
    op("flush", [&]() -> std::optional<WriterError> {
      if (auto f = w->flush(); !f) return f.error();
      return std::nullopt;
    });
  };
  const auto close = [&] {
    if (!w) return;
    op("close", [&] {
      w.reset();
      return std::nullopt;
    });
  };
  std::uint64_t i = 0;
  open();
  for (; i < 3; ++i) append(i);
  flush();
  close();
  damage(sim);
  open();
  for (; i < 7; ++i) append(i);
  flush();
  append(i++);
  flush();
  close();
  open();
  append(i++);
  flush();
  close();
  return run;
}

struct Fault {
  int at;  // call number, from 1
  FsOp op;
  std::string kind;
  std::function<void(FaultFs&)> install;
  std::optional<IoError> error;  // what the failing call must surface as; none: absorbed
  bool once;
};

// The faults to try at call `at`, an `op`.
std::vector<Fault> faults_at(int at, FsOp op) {
  std::vector<Fault> out;
  for (int err : {ENOSPC, EIO}) {
    for (bool once : {true, false}) {
      out.push_back({at, op, std::string(once ? "once " : "from then on ") + (err == EIO ? "EIO" : "ENOSPC"),
                     [=](FaultFs& f) { f.fail(FsOp::kAny, at, err, !once); }, IoError::from_errno(err), once});
    }
  }
  for (int times : {1, 3}) {
    out.push_back({at, op, "EINTR x" + std::to_string(times), [=](FaultFs& f) { f.fail_times(FsOp::kAny, at, EINTR, times); },
                   std::nullopt, true});
  }
  if (op == FsOp::kPread || op == FsOp::kPwrite) {
    for (bool once : {true, false}) {
      out.push_back({at, op, once ? "short once" : "short from then on",
                     [=](FaultFs& f) { f.short_transfer(FsOp::kAny, at, 1, !once); }, std::nullopt, once});
    }
  }
  if (op == FsOp::kPwrite) {
    out.push_back({at, op, "nothing written", [=](FaultFs& f) { f.short_transfer(FsOp::kAny, at, 0); },
                   IoError::write_zero(), true});
  }
  return out;
}

// What is wrong with a run under `fault`; empty when nothing is.
std::vector<std::string> problems(const Outcome& run, const Fault& fault, const std::vector<FsOp>& trace) {
  std::vector<std::string> out;
  const int failed = fault.at - 1;  // index into the trace
  // A failed close loses nothing (durability comes from syncs), so it is
  // not reported.
  const bool absorbed = !fault.error || (fault.op == FsOp::kClose && fault.once);
  for (const Op& o : run.ops) {
    const bool holds = o.first <= failed && failed < o.end;
    if (absorbed) {
      if (o.error) out.push_back(o.name + " failed: " + o.error->to_string());
      continue;
    }
    if (holds && fault.op != FsOp::kClose &&
        (!o.error || o.error->kind != WriterError::Kind::kIo || o.error->io != *fault.error)) {
      out.push_back(o.name + " made the failing call but returned " + (o.error ? o.error->to_string() : "success"));
    }
  }
  // A failed sync is never retried, and the writer refuses everything after
  // it until reopened.
  if (fault.error && fault.op == FsOp::kSync) {
    const auto in = std::find_if(run.ops.begin(), run.ops.end(), [&](const Op& o) { return o.first <= failed && failed < o.end; });
    for (auto o = in; in != run.ops.end() && o != run.ops.end() && o->session == in->session; ++o) {
      if (o->name == "close" || o->name == "open") continue;
      if (!o->error) out.push_back(o->name + " succeeded after a failed sync");
      const int from = std::max(o->first, failed + 1);
      if (std::count(trace.begin() + std::min<int>(from, trace.size()), trace.begin() + std::min<int>(o->end, trace.size()),
                     FsOp::kSync) != 0) {
        out.push_back(o->name + " synced again after a failed sync");
      }
    }
  }
  return out;
}

TEST(IoErrorTest, EveryFailingCallReachesTheCallerAndLosesNothing) {
  std::vector<FsOp> trace;
  {
    SimFs sim;
    FaultFs faults(sim);
    const Outcome clean = run_workload(sim, faults);
    for (const Op& o : clean.ops) ASSERT_FALSE(o.error) << o.name << ": " << o.error->to_string();
    ASSERT_EQ(clean.appended.size(), 9u);
    trace = faults.trace();
  }
  // The workload reaches every kind of call the writer makes.
  for (FsOp op : {FsOp::kOpen, FsOp::kClose, FsOp::kPread, FsOp::kPwrite, FsOp::kFsize, FsOp::kSync, FsOp::kFtruncate,
                  FsOp::kMkdir, FsOp::kRename, FsOp::kUnlink, FsOp::kFlock, FsOp::kListDir}) {
    EXPECT_NE(std::count(trace.begin(), trace.end(), op), 0) << fs_op_name(op);
  }

  const KeyHandle key = test_key();
  int runs = 0, reported = 0;
  for (int at = 1; at <= static_cast<int>(trace.size()); ++at) {
    for (const Fault& fault : faults_at(at, trace[at - 1])) {
      SimFs sim;
      Outcome run;
      std::vector<FsOp> seen;
      bool fired = false;
      {
        FaultFs faults(sim);
        fault.install(faults);
        run = run_workload(sim, faults);
        seen = faults.trace();
        fired = !faults.broken().empty();
      }
      std::vector<std::string> wrong = problems(run, fault, seen);
      if (!fired) wrong.push_back("the fault never fired");
      auto found = check_recovers(kDir, key, run.appended, run.appended.size(), kProbe, kSegmentSize);
      if (!found) wrong.push_back("afterwards: " + found.error());
      if (sim.open_files() != 0) wrong.push_back("descriptors left open");
      ++runs;
      for (const std::string& w : wrong) {
        if (++reported <= 20) {
          ADD_FAILURE() << "call " << at << " (" << fs_op_name(fault.op) << "), " << fault.kind << ": " << w;
        }
      }
    }
  }
  EXPECT_EQ(reported, 0);
  std::cout << trace.size() << " calls, " << runs << " runs\n";
}

}  // namespace
}  // namespace corvane
