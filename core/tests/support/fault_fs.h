// A file system for tests that passes every call to the real one, except the
// calls it was told to break: the Nth pwrite, sync, ftruncate, flock or open
// from now on fails with a chosen errno (EINTR included) or writes short.
// Installed for its lifetime; the real file system is restored on
// destruction.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "corvane/io.h"

namespace corvane::testing {

enum class FsOp : std::uint8_t { kOpen, kPwrite, kSync, kFtruncate, kFlock };

class FaultFs final : public FileSystem {
 public:
  FaultFs();
  ~FaultFs() override;
  FaultFs(const FaultFs&) = delete;
  FaultFs& operator=(const FaultFs&) = delete;

  // The `nth` call of `op` from now on (1: the next one) fails with `err`;
  // with `sticky`, every call from that one on. For kOpen, only calls whose
  // path contains `path_part` count.
  void fail(FsOp op, int nth, int err, bool sticky = false, std::string path_part = "");
  // The `nth` pwrite from now on writes at most `max_bytes` bytes.
  void short_write(int nth, std::size_t max_bytes, bool sticky = false);
  // Drops every fault not yet triggered, and the sticky ones.
  void clear() { rules_.clear(); }
  // Calls of `op` since construction.
  int calls(FsOp op) const { return calls_[static_cast<std::size_t>(op)]; }

  int open(const char* path, int flags, mode_t mode) override;
  int close(int fd) override { return real_.close(fd); }
  ssize_t pread(int fd, void* buf, std::size_t len, off_t offset) override {
    return real_.pread(fd, buf, len, offset);
  }
  ssize_t pwrite(int fd, const void* buf, std::size_t len, off_t offset) override;
  int fsize(int fd, std::uint64_t* size) override { return real_.fsize(fd, size); }
  int exists(const char* path) override { return real_.exists(path); }
  int sync(int fd) override;
  int ftruncate(int fd, off_t len) override;
  int mkdir(const char* path, mode_t mode) override { return real_.mkdir(path, mode); }
  int flock(int fd, int operation) override;
  int list_dir(const char* path, std::vector<std::string>* names) override {
    return real_.list_dir(path, names);
  }

 private:
  struct Rule {
    FsOp op;
    int at;  // call number (of calls matching the rule) that triggers it
    int err;  // 0: a short write of `max_bytes`
    std::size_t max_bytes;
    bool sticky;
    std::string path_part;
    int seen = 0;
  };
  // The rule this call triggers, or null. Counts the call.
  const Rule* hit(FsOp op, const char* path = nullptr);

  FileSystem& real_;
  std::array<int, 5> calls_{};
  std::vector<Rule> rules_;
};

}  // namespace corvane::testing
