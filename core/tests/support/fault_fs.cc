#include "support/fault_fs.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace corvane::testing {

const char* fs_op_name(FsOp op) {
  static constexpr const char* kNames[] = {"open",  "close",     "pread", "pwrite", "fsize",  "exists", "sync",
                                           "ftruncate", "mkdir", "rename", "unlink", "flock", "list_dir", "any"};
  return kNames[static_cast<std::size_t>(op)];
}

FaultFs::FaultFs(FileSystem& inner) : inner_(inner), replaced_(&fs()) { set_file_system(this); }

FaultFs::~FaultFs() { set_file_system(replaced_); }

void FaultFs::fail(FsOp op, int nth, int err, bool sticky, std::string path_part) {
  rules_.push_back({op, nth, sticky ? kForever : 1, err, 0, std::move(path_part)});
}

void FaultFs::fail_times(FsOp op, int nth, int err, int times) { rules_.push_back({op, nth, times, err, 0, ""}); }

void FaultFs::short_transfer(FsOp op, int nth, std::size_t max_bytes, bool sticky) {
  rules_.push_back({op, nth, sticky ? kForever : 1, 0, max_bytes, ""});
}

int FaultFs::calls(FsOp op) const {
  if (op == FsOp::kAny) return static_cast<int>(trace_.size());
  return static_cast<int>(std::count(trace_.begin(), trace_.end(), op));
}

const FaultFs::Rule* FaultFs::hit(FsOp op, const char* path, const char* path2) {
  trace_.push_back(op);
  const auto names = [&](const std::string& part) {
    const auto has = [&](const char* p) { return p != nullptr && std::string_view(p).find(part) != std::string_view::npos; };
    return part.empty() || has(path) || has(path2);
  };
  const bool transfers = op == FsOp::kPread || op == FsOp::kPwrite;
  const Rule* fired = nullptr;
  for (Rule& r : rules_) {
    if ((r.op != op && r.op != FsOp::kAny) || !names(r.path_part)) continue;
    r.seen += 1;
    const bool due = r.seen >= r.at && (r.times == kForever || r.seen < r.at + r.times);
    // A short transfer means nothing to other calls.
    if (fired == nullptr && due && (r.err != 0 || transfers)) fired = &r;
  }
  if (fired != nullptr) broken_.push_back(op);
  return fired;
}

bool FaultFs::failed(FsOp op, const char* path, const char* path2) {
  const Rule* r = hit(op, path, path2);
  if (r == nullptr) return false;
  errno = r->err;
  return true;
}

int FaultFs::open(const char* path, int flags, mode_t mode) {
  return failed(FsOp::kOpen, path) ? -1 : inner_.open(path, flags, mode);
}

int FaultFs::close(int fd) {
  // The descriptor is gone even when close reports an error.
  const Rule* r = hit(FsOp::kClose);
  const int rc = inner_.close(fd);
  if (r == nullptr) return rc;
  errno = r->err;
  return -1;
}

ssize_t FaultFs::pread(int fd, void* buf, std::size_t len, off_t offset) {
  const Rule* r = hit(FsOp::kPread);
  if (r == nullptr) return inner_.pread(fd, buf, len, offset);
  if (r->err != 0) return errno = r->err, -1;
  return inner_.pread(fd, buf, std::min(len, r->max_bytes), offset);
}

ssize_t FaultFs::pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
  const Rule* r = hit(FsOp::kPwrite);
  if (r == nullptr) return inner_.pwrite(fd, buf, len, offset);
  if (r->err != 0) return errno = r->err, -1;
  return inner_.pwrite(fd, buf, std::min(len, r->max_bytes), offset);
}

int FaultFs::fsize(int fd, std::uint64_t* size) { return failed(FsOp::kFsize) ? -1 : inner_.fsize(fd, size); }
int FaultFs::exists(const char* path) { return failed(FsOp::kExists, path) ? -1 : inner_.exists(path); }
int FaultFs::sync(int fd) { return failed(FsOp::kSync) ? -1 : inner_.sync(fd); }
int FaultFs::ftruncate(int fd, off_t len) { return failed(FsOp::kFtruncate) ? -1 : inner_.ftruncate(fd, len); }
int FaultFs::mkdir(const char* path, mode_t mode) { return failed(FsOp::kMkdir, path) ? -1 : inner_.mkdir(path, mode); }
int FaultFs::rename(const char* from, const char* to) {
  return failed(FsOp::kRename, from, to) ? -1 : inner_.rename(from, to);
}
int FaultFs::unlink(const char* path) { return failed(FsOp::kUnlink, path) ? -1 : inner_.unlink(path); }
int FaultFs::flock(int fd, int operation) { return failed(FsOp::kFlock) ? -1 : inner_.flock(fd, operation); }
int FaultFs::list_dir(const char* path, std::vector<std::string>* names) {
  return failed(FsOp::kListDir, path) ? -1 : inner_.list_dir(path, names);
}

}  // namespace corvane::testing
