// The tests' seam over the core's file system: passes every call to another
// one (the real one unless told otherwise), watches them, and breaks the
// calls its faults name. Installed for its lifetime; the file system it
// replaced is restored on destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "corvane/io.h"

namespace corvane::testing {

enum class FsOp : std::uint8_t {
  kOpen, kClose, kPread, kPwrite, kFsize, kExists, kSync, kFtruncate, kMkdir, kRename, kUnlink, kFlock, kListDir,
  kAny,  // in faults: a call of any kind
};
const char* fs_op_name(FsOp op);

// From the `nth` matching call on (1: the next one), `times` calls in a row
// (kForever: no end) fail with `err`, or with `err` 0 transfer at most
// `max_bytes` (pread and pwrite only; other calls pass).
struct Fault {
  static constexpr int kForever = 0;
  FsOp op = FsOp::kAny;
  int nth = 1;
  int err = 0;
  int times = 1;
  std::size_t max_bytes = 0;
  int seen = 0;
};

class FaultFs final : public FileSystem {
 public:
  explicit FaultFs(FileSystem& inner = posix_file_system());
  ~FaultFs() override;
  FaultFs(const FaultFs&) = delete;
  FaultFs& operator=(const FaultFs&) = delete;

  void add(Fault f) { faults_.push_back(std::move(f)); }
  void clear() { faults_.clear(); }
  // Calls of `op` so far (kAny: all), every call in order, and the broken ones.
  int calls(FsOp op) const;
  const std::vector<FsOp>& trace() const { return trace_; }
  const std::vector<FsOp>& broken() const { return broken_; }

  std::function<void(FsOp)> before;              // runs before every call
  std::function<bool(off_t offset)> fail_pread;  // true: this read fails with EIO
  std::function<void(int call)> on_fsize;        // call counts from 1

  int open(const char* path, int flags, mode_t mode) override;
  int close(int fd) override;
  ssize_t pread(int fd, void* buf, std::size_t len, off_t offset) override;
  ssize_t pwrite(int fd, const void* buf, std::size_t len, off_t offset) override;
  int fsize(int fd, std::uint64_t* size) override;
  int exists(const char* path) override;
  int sync(int fd) override;
  int ftruncate(int fd, off_t len) override;
  int mkdir(const char* path, mode_t mode) override;
  int rename(const char* from, const char* to) override;
  int unlink(const char* path) override;
  int flock(int fd, int operation) override;
  int list_dir(const char* path, std::vector<std::string>* names) override;

 private:
  // The fault this call triggers, or null; counts the call.
  const Fault* hit(FsOp op);
  // Whether a fault fails this call (errno then set).
  bool failed(FsOp op);

  FileSystem& inner_;
  FileSystem* replaced_;
  std::vector<FsOp> trace_, broken_;
  std::vector<Fault> faults_;
};

}  // namespace corvane::testing
