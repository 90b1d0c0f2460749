// A file system that passes every call to the real one, with two hooks: a
// pread may be failed with EIO, and something may run on a size query.
// Installed for its lifetime.
#pragma once

#include <cerrno>
#include <functional>

#include "corvane/io.h"

namespace corvane::testing {

class HookFs final : public FileSystem {
 public:
  std::function<bool(off_t offset)> fail_pread;  // true: this read fails with EIO
  std::function<void(int call)> on_fsize;        // call counts from 1

  HookFs() : real_(posix_file_system()) { set_file_system(this); }
  ~HookFs() override { set_file_system(nullptr); }

  ssize_t pread(int fd, void* b, std::size_t n, off_t o) override {
    if (fail_pread && fail_pread(o)) return errno = EIO, -1;
    return real_.pread(fd, b, n, o);
  }
  int fsize(int fd, std::uint64_t* s) override {
    if (on_fsize) on_fsize(++fsize_calls_);
    return real_.fsize(fd, s);
  }
  int open(const char* p, int f, mode_t m) override { return real_.open(p, f, m); }
  int close(int fd) override { return real_.close(fd); }
  ssize_t pwrite(int fd, const void* b, std::size_t n, off_t o) override { return real_.pwrite(fd, b, n, o); }
  int exists(const char* p) override { return real_.exists(p); }
  int sync(int fd) override { return real_.sync(fd); }
  int ftruncate(int fd, off_t n) override { return real_.ftruncate(fd, n); }
  int mkdir(const char* p, mode_t m) override { return real_.mkdir(p, m); }
  int rename(const char* f, const char* t) override { return real_.rename(f, t); }
  int unlink(const char* p) override { return real_.unlink(p); }
  int flock(int fd, int op) override { return real_.flock(fd, op); }
  int list_dir(const char* p, std::vector<std::string>* n) override { return real_.list_dir(p, n); }

 private:
  FileSystem& real_;
  int fsize_calls_ = 0;
};

}  // namespace corvane::testing
