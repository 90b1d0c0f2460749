// The seam every file operation of the core goes through: the real system
// calls, or a replacement a test installs to inject failures (EINTR, ENOSPC,
// short writes) or to simulate a file system that loses power.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

// The system calls the core makes, with POSIX conventions: -1 (or a negative
// count) and errno on failure. In the *at calls `dir` is an open directory
// that a relative path is looked up in, or kCwd for the current directory.
class FileSystem {
 public:
  static constexpr int kCwd = AT_FDCWD;

  virtual ~FileSystem() = default;
  virtual int openat(int dir, const char* path, int flags, mode_t mode) = 0;
  virtual int close(int fd) = 0;
  virtual ssize_t pread(int fd, void* buf, std::size_t len, off_t offset) = 0;
  virtual ssize_t pwrite(int fd, const void* buf, std::size_t len, off_t offset) = 0;
  // Size of an open file.
  virtual int fsize(int fd, std::uint64_t* size) = 0;
  // Type and permission bits of an open file (st_mode; other fields may be
  // left zero).
  virtual int fstat(int fd, struct stat* st) = 0;
  // Type and permission bits of what `path` names, not following a
  // symbolic link there.
  virtual int lstatat(int dir, const char* path, mode_t* mode) = 0;
  // Whether a path exists (0) or why not (-1, errno).
  virtual int exists(const char* path) = 0;
  // Forces a file's (or a directory's) contents to stable storage.
  virtual int sync(int fd) = 0;
  // Starts writing a range of a file back to storage without waiting for it;
  // durability still comes from sync. Where the system has no such call it
  // does nothing.
  virtual int start_writeback(int /*fd*/, off_t /*offset*/, off_t /*len*/) { return 0; }
  virtual int ftruncate(int fd, off_t len) = 0;
  virtual int mkdir(const char* path, mode_t mode) = 0;
  // Replaces `to` with `from` atomically (both in `dir`).
  virtual int renameat(int dir, const char* from, const char* to) = 0;
  // Removes a name that is not a directory (a link itself, never its target).
  virtual int unlinkat(int dir, const char* path) = 0;
  virtual int flock(int fd, int operation) = 0;
  // Names in a directory, without "." and "..".
  virtual int list_dir_at(int dir, const char* path, std::vector<std::string>* names) = 0;

  // The same calls with paths looked up from the current directory.
  int open(const char* path, int flags, mode_t mode) { return openat(kCwd, path, flags, mode); }
  int rename(const char* from, const char* to) { return renameat(kCwd, from, to); }
  int unlink(const char* path) { return unlinkat(kCwd, path); }
  int list_dir(const char* path, std::vector<std::string>* names) { return list_dir_at(kCwd, path, names); }
};

// The real thing: the operating system's calls (F_FULLFSYNC on macOS).
FileSystem& posix_file_system();
// The file system the core uses now.
FileSystem& fs();
// Replaces it (nullptr restores the real one). For tests; not thread-safe.
void set_file_system(FileSystem* replacement);

}  // namespace corvane
