#include "support/fault_fs.h"

#include <algorithm>
#include <cerrno>

namespace corvane::testing {

const char* fs_op_name(FsOp op) {
  static constexpr const char* kNames[] = {"open",  "close", "pread",  "pwrite", "fsize", "exists",   "sync",
                                           "ftruncate", "mkdir", "rename", "unlink", "flock", "list_dir", "any"};
  return kNames[static_cast<std::size_t>(op)];
}

FaultFs::FaultFs(FileSystem& inner) : inner_(inner), replaced_(&fs()) { set_file_system(this); }

FaultFs::~FaultFs() { set_file_system(replaced_); }

int FaultFs::calls(FsOp op) const {
  if (op == FsOp::kAny) return static_cast<int>(trace_.size());
  return static_cast<int>(std::count(trace_.begin(), trace_.end(), op));
}

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

bool FaultFs::failed(FsOp op) {
  const Fault* f = hit(op);
  if (f != nullptr) errno = f->err;
  return f != nullptr;
}

int FaultFs::open(const char* path, int flags, mode_t mode) {
  return failed(FsOp::kOpen) ? -1 : inner_.open(path, flags, mode);
}

int FaultFs::close(int fd) {
  // The descriptor is gone even when close reports an error.
  const Fault* f = hit(FsOp::kClose);
  const int rc = inner_.close(fd);
  if (f == nullptr) return rc;
  errno = f->err;
  return -1;
}

ssize_t FaultFs::pread(int fd, void* buf, std::size_t len, off_t offset) {
  const Fault* f = hit(FsOp::kPread);
  if (fail_pread && fail_pread(offset)) return errno = EIO, -1;
  if (f != nullptr && f->err != 0) return errno = f->err, -1;
  return inner_.pread(fd, buf, f == nullptr ? len : std::min(len, f->max_bytes), offset);
}

ssize_t FaultFs::pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
  const Fault* f = hit(FsOp::kPwrite);
  if (f != nullptr && f->err != 0) return errno = f->err, -1;
  return inner_.pwrite(fd, buf, f == nullptr ? len : std::min(len, f->max_bytes), offset);
}

int FaultFs::fsize(int fd, std::uint64_t* size) {
  if (failed(FsOp::kFsize)) return -1;
  if (on_fsize) on_fsize(calls(FsOp::kFsize));
  return inner_.fsize(fd, size);
}

int FaultFs::exists(const char* path) { return failed(FsOp::kExists) ? -1 : inner_.exists(path); }
int FaultFs::sync(int fd) { return failed(FsOp::kSync) ? -1 : inner_.sync(fd); }
int FaultFs::ftruncate(int fd, off_t len) { return failed(FsOp::kFtruncate) ? -1 : inner_.ftruncate(fd, len); }
int FaultFs::mkdir(const char* path, mode_t mode) { return failed(FsOp::kMkdir) ? -1 : inner_.mkdir(path, mode); }
int FaultFs::rename(const char* from, const char* to) {
  return failed(FsOp::kRename) ? -1 : inner_.rename(from, to);
}
int FaultFs::unlink(const char* path) { return failed(FsOp::kUnlink) ? -1 : inner_.unlink(path); }
int FaultFs::flock(int fd, int operation) { return failed(FsOp::kFlock) ? -1 : inner_.flock(fd, operation); }
int FaultFs::list_dir(const char* path, std::vector<std::string>* names) {
  return failed(FsOp::kListDir) ? -1 : inner_.list_dir(path, names);
}

}  // namespace corvane::testing
