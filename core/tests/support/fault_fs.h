// A file system for tests that passes every call to another one (the real
// one unless told otherwise), except the calls it was told to break: the Nth
// call of a kind (or of any kind) from now on fails with a chosen errno
// (EINTR included) or, for pread and pwrite, transfers short; once, a few
// times in a row, or from then on. Installed for its lifetime; the file
// system it replaced is restored on destruction.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "corvane/io.h"

namespace corvane::testing {

enum class FsOp : std::uint8_t {
  kOpen, kClose, kPread, kPwrite, kFsize, kExists, kSync, kFtruncate, kMkdir, kRename, kUnlink, kFlock, kListDir,
  kAny,  // in rules: a call of any kind
};
inline constexpr std::size_t kFsOpCount = static_cast<std::size_t>(FsOp::kAny);
const char* fs_op_name(FsOp op);

class FaultFs final : public FileSystem {
 public:
  static constexpr int kForever = 0;

  explicit FaultFs(FileSystem& inner = posix_file_system());
  ~FaultFs() override;
  FaultFs(const FaultFs&) = delete;
  FaultFs& operator=(const FaultFs&) = delete;

  // The `nth` call of `op` from now on (1: the next one) fails with `err`;
  // with `sticky`, every call from that one on. For calls that name a path,
  // only those whose path contains `path_part` count.
  void fail(FsOp op, int nth, int err, bool sticky = false, std::string path_part = "");
  // The same for `times` calls in a row from the `nth` (kForever: no end).
  void fail_times(FsOp op, int nth, int err, int times);
  // The `nth` pread or pwrite from now on (`op` kPread, kPwrite or kAny)
  // transfers at most `max_bytes`; other calls it hits pass.
  void short_transfer(FsOp op, int nth, std::size_t max_bytes, bool sticky = false);
  void short_write(int nth, std::size_t max_bytes, bool sticky = false) {
    short_transfer(FsOp::kPwrite, nth, max_bytes, sticky);
  }
  // Drops every fault not yet triggered, and the sticky ones.
  void clear() { rules_.clear(); }
  // Calls of `op` since construction (kAny: all calls).
  int calls(FsOp op) const;
  // Every call since construction, in order.
  const std::vector<FsOp>& trace() const { return trace_; }
  // Calls that a rule broke (failed or shortened), in order.
  const std::vector<FsOp>& broken() const { return broken_; }

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
  struct Rule {
    FsOp op;
    int at;     // call number (of calls matching the rule) that triggers it
    int times;  // calls in a row it breaks; kForever: all from `at` on
    int err;    // 0: a short transfer of `max_bytes`
    std::size_t max_bytes;
    std::string path_part;
    int seen = 0;
  };
  // The rule this call triggers, or null. Counts the call.
  const Rule* hit(FsOp op, const char* path = nullptr, const char* path2 = nullptr);
  // Whether a rule fails this call (errno then set).
  bool failed(FsOp op, const char* path = nullptr, const char* path2 = nullptr);

  FileSystem& inner_;
  FileSystem* replaced_;
  std::vector<FsOp> trace_;
  std::vector<FsOp> broken_;
  std::vector<Rule> rules_;
};

}  // namespace corvane::testing
