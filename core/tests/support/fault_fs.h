// The tests' seam over the core's file system: passes every call to another
// one (the real one unless told otherwise), watches them, and breaks the
// calls its faults name. Installed for its lifetime.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "corvane/io.h"
#include "io/file_system.h"

namespace corvane::testing {

// kAny, in faults: a call of any kind.
enum class FsOp : std::uint8_t {
  kOpen, kClose, kPread, kPwrite, kFsize, kExists, kSync, kWriteback, kFtruncate, kMkdir, kRename, kUnlink, kFlock, kListDir, kFstat, kLstat, kAny
};
const char* fs_op_name(FsOp op);

// From the `nth` matching call on (1: the next one), `times` calls in a row
// (kForever: no end) fail with `err`, or with `err` 0 transfer at most
// `max_bytes` (pread and pwrite only; other calls pass).
struct Fault {
  static constexpr int kForever = 0;
  FsOp op = FsOp::kAny;
  int nth = 1, err = 0, times = 1;
  std::size_t max_bytes = 0;
  int seen = 0;
};

class FaultFs final : public FileSystem {
 public:
  explicit FaultFs(FileSystem& inner = posix_file_system()) : inner_(inner), replaced_(&fs()) { set_file_system(this); }
  ~FaultFs() override { set_file_system(replaced_); }
  FaultFs(const FaultFs&) = delete;
  FaultFs& operator=(const FaultFs&) = delete;

  void add(Fault f) { faults_.push_back(f); }
  // Calls of `op` so far (kAny: all), every call in order, and the broken ones.
  int calls(FsOp op) const;
  const std::vector<FsOp>& trace() const { return trace_; }
  const std::vector<FsOp>& broken() const { return broken_; }

  std::function<void(FsOp)> before;              // runs before every call
  std::function<bool(off_t offset)> fail_pread;  // true: this read fails with EIO
  std::function<void(int call)> on_fsize;        // call counts from 1

// Each call below goes to the inner file system unless a fault breaks it.
#define CORVANE_PASS(op, call) { return pass(FsOp::op, [&] { return inner_.call; }); }
  int openat(int dir, const char* p, int flags, mode_t mode) override CORVANE_PASS(kOpen, openat(dir, p, flags, mode))
  int fstat(int fd, struct stat* st) override CORVANE_PASS(kFstat, fstat(fd, st))
  int lstatat(int dir, const char* p, mode_t* mode) override CORVANE_PASS(kLstat, lstatat(dir, p, mode))
  int exists(const char* p) override CORVANE_PASS(kExists, exists(p))
  int sync(int fd) override CORVANE_PASS(kSync, sync(fd))
  int start_writeback(int fd, off_t at, off_t len) override CORVANE_PASS(kWriteback, start_writeback(fd, at, len))
  int ftruncate(int fd, off_t len) override CORVANE_PASS(kFtruncate, ftruncate(fd, len))
  int mkdir(const char* p, mode_t mode) override CORVANE_PASS(kMkdir, mkdir(p, mode))
  int renameat(int dir, const char* a, const char* b) override CORVANE_PASS(kRename, renameat(dir, a, b))
  int unlinkat(int dir, const char* p) override CORVANE_PASS(kUnlink, unlinkat(dir, p))
  int flock(int fd, int how) override CORVANE_PASS(kFlock, flock(fd, how))
  int list_dir_at(int dir, const char* p, std::vector<std::string>* names) override
      CORVANE_PASS(kListDir, list_dir_at(dir, p, names))
#undef CORVANE_PASS
  // Counted and broken like the rest, with what a fault does to each.
  int close(int fd) override;
  ssize_t pread(int fd, void* buf, std::size_t len, off_t offset) override;
  ssize_t pwrite(int fd, const void* buf, std::size_t len, off_t offset) override;
  int fsize(int fd, std::uint64_t* size) override;

 private:
  // The fault this call triggers, or null; counts the call.
  const Fault* hit(FsOp op);
  template <class Call>
  int pass(FsOp op, Call call) {
    const Fault* f = hit(op);
    return f != nullptr && f->err != 0 ? (errno = f->err, -1) : call();
  }

  FileSystem& inner_;
  FileSystem* replaced_;
  std::vector<FsOp> trace_, broken_;
  std::vector<Fault> faults_;
};

}  // namespace corvane::testing
