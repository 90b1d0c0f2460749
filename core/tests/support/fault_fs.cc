#include "support/fault_fs.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace corvane::testing {

FaultFs::FaultFs() : real_(posix_file_system()) { set_file_system(this); }

FaultFs::~FaultFs() { set_file_system(nullptr); }

void FaultFs::fail(FsOp op, int nth, int err, bool sticky, std::string path_part) {
  rules_.push_back({op, nth, err, 0, sticky, std::move(path_part)});
}

void FaultFs::short_write(int nth, std::size_t max_bytes, bool sticky) {
  rules_.push_back({FsOp::kPwrite, nth, 0, max_bytes, sticky, ""});
}

const FaultFs::Rule* FaultFs::hit(FsOp op, const char* path) {
  calls_[static_cast<std::size_t>(op)] += 1;
  const Rule* fired = nullptr;
  for (Rule& r : rules_) {
    if (r.op != op) continue;
    if (!r.path_part.empty() && (path == nullptr || std::string_view(path).find(r.path_part) == std::string_view::npos)) {
      continue;
    }
    r.seen += 1;
    if (fired == nullptr && (r.seen == r.at || (r.sticky && r.seen > r.at))) fired = &r;
  }
  return fired;
}

int FaultFs::open(const char* path, int flags, mode_t mode) {
  if (const Rule* r = hit(FsOp::kOpen, path)) {
    errno = r->err;
    return -1;
  }
  return real_.open(path, flags, mode);
}

ssize_t FaultFs::pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
  const Rule* r = hit(FsOp::kPwrite);
  if (r == nullptr) return real_.pwrite(fd, buf, len, offset);
  if (r->err != 0) {
    errno = r->err;
    return -1;
  }
  return real_.pwrite(fd, buf, std::min(len, r->max_bytes), offset);
}

int FaultFs::sync(int fd) {
  if (const Rule* r = hit(FsOp::kSync)) {
    errno = r->err;
    return -1;
  }
  return real_.sync(fd);
}

int FaultFs::ftruncate(int fd, off_t len) {
  if (const Rule* r = hit(FsOp::kFtruncate)) {
    errno = r->err;
    return -1;
  }
  return real_.ftruncate(fd, len);
}

int FaultFs::flock(int fd, int operation) {
  if (const Rule* r = hit(FsOp::kFlock)) {
    errno = r->err;
    return -1;
  }
  return real_.flock(fd, operation);
}

}  // namespace corvane::testing
