#include "support/fault_fs.h"

#include <algorithm>
#include <cerrno>

namespace corvane::testing {

const char* fs_op_name(FsOp op) {
  static constexpr const char* kNames[] = {"open", "close", "pread", "pwrite", "fsize", "exists", "sync", "writeback", "ftruncate",
                                           "mkdir", "rename", "unlink", "flock", "list_dir", "fstat", "lstatat", "any"};
  return kNames[static_cast<std::size_t>(op)];
}

int FaultFs::calls(FsOp op) const { return static_cast<int>(op == FsOp::kAny ? trace_.size() : std::ranges::count(trace_, op)); }

const Fault* FaultFs::hit(FsOp op) {
  if (before) before(op);
  trace_.push_back(op);
  const bool transfers = op == FsOp::kPread || op == FsOp::kPwrite;
  const Fault* fired = nullptr;
  for (Fault& f : faults_) {
    if (f.op != op && f.op != FsOp::kAny) continue;
    f.seen += 1;
    const bool due = f.seen >= f.nth && (f.times == Fault::kForever || f.seen < f.nth + f.times);
    if (fired == nullptr && due && (f.err != 0 || transfers)) fired = &f;
  }
  if (fired != nullptr) broken_.push_back(op);
  return fired;
}

int FaultFs::close(int fd) {
  // The descriptor is gone even when close reports an error.
  const Fault* f = hit(FsOp::kClose);
  return inner_.close(fd) == 0 && f == nullptr ? 0 : (errno = f != nullptr ? f->err : errno, -1);
}

ssize_t FaultFs::pread(int fd, void* buf, std::size_t len, off_t offset) {
  const Fault* f = hit(FsOp::kPread);
  if (fail_pread && fail_pread(offset)) return errno = EIO, -1;
  return f != nullptr && f->err != 0 ? (errno = f->err, -1) : inner_.pread(fd, buf, f == nullptr ? len : std::min(len, f->max_bytes), offset);
}

ssize_t FaultFs::pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
  const Fault* f = hit(FsOp::kPwrite);
  return f != nullptr && f->err != 0 ? (errno = f->err, -1) : inner_.pwrite(fd, buf, f == nullptr ? len : std::min(len, f->max_bytes), offset);
}

int FaultFs::fsize(int fd, std::uint64_t* size) {
  if (pass(FsOp::kFsize, [] { return 0; }) != 0) return -1;
  if (on_fsize) on_fsize(calls(FsOp::kFsize));
  return inner_.fsize(fd, size);
}

}  // namespace corvane::testing
