// POSIX file access for the core, through one replaceable seam so that tests
// can inject failures (EINTR, ENOSPC, short writes) or run on a simulated
// file system. Every helper retries EINTR, loops over short transfers and
// returns failures as IoError values.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/errors.h"

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

// An owned file descriptor.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  ~File() { reset(); }
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes the descriptor (errors on close are not reported: nothing written
  // is lost by them, durability comes from sync).
  void reset();

 private:
  int fd_ = -1;
};

// Where the helpers below look a relative path up: an open directory (so a
// writer keeps using the directory it opened, whatever later happens to its
// path or the working directory) or the current directory.
class At {
 public:
  static At cwd() { return At(FileSystem::kCwd); }
  static At dir(const File& dir) { return At(dir.fd()); }
  int fd() const { return fd_; }

 private:
  explicit At(int fd) : fd_(fd) {}
  int fd_;
};

std::string join_path(std::string_view dir, std::string_view name);

// Opens with O_CLOEXEC added to `flags`.
[[nodiscard]] std::expected<File, IoError> open_file(At at, const std::string& path, int flags, mode_t mode = 0);
[[nodiscard]] std::expected<File, IoError> open_file(const std::string& path, int flags, mode_t mode = 0);
// Opens a file that must be a regular one, without ever blocking: a FIFO, a
// device, a directory or a socket fails with IoError::not_regular_file(), as
// does a symbolic link when `flags` holds O_NOFOLLOW.
[[nodiscard]] std::expected<File, IoError> open_regular_file(At at, const std::string& path, int flags,
                                                             mode_t mode = 0);
// Reads exactly out.size() bytes at `offset`; an early end of file is
// IoError::unexpected_eof().
[[nodiscard]] std::expected<void, IoError> read_exact_at(const File& file, std::uint64_t offset,
                                                         std::span<std::uint8_t> out);
// Reads up to out.size() bytes at `offset`, stopping early only at end of file.
[[nodiscard]] std::expected<std::size_t, IoError> read_at(const File& file, std::uint64_t offset,
                                                          std::span<std::uint8_t> out);
// Writes all bytes at `offset` in calls of at most 2^31 - 1 bytes; a call that
// writes nothing is IoError::write_zero().
[[nodiscard]] std::expected<void, IoError> write_all_at(const File& file, std::uint64_t offset,
                                                        std::span<const std::uint8_t> data);
[[nodiscard]] std::expected<std::uint64_t, IoError> file_size(const File& file);
[[nodiscard]] std::expected<void, IoError> sync_file(const File& file);
// Asks the system to start writing [offset, offset + len) back now, so that a
// later sync_file has little left to do. Advisory: a failure is left for that
// sync to report.
void start_writeback(const File& file, std::uint64_t offset, std::uint64_t len);
// Opens the directory read-only, syncs it and closes it.
[[nodiscard]] std::expected<void, IoError> sync_dir(const std::string& path);
[[nodiscard]] std::expected<void, IoError> truncate_file(const File& file, std::uint64_t length);
// Creates the directory and any missing parents; an existing one is fine.
// The parent of every directory it creates is synced, so that the new entry
// survives a power loss along with what is later synced inside it.
[[nodiscard]] std::expected<void, IoError> create_dir_all(const std::string& path, mode_t mode = 0777);
[[nodiscard]] std::expected<void, IoError> rename_file(At at, const std::string& from, const std::string& to);
[[nodiscard]] std::expected<void, IoError> rename_file(const std::string& from, const std::string& to);
// Removes a name that is not a directory; a symbolic link is removed itself.
[[nodiscard]] std::expected<void, IoError> remove_file(At at, const std::string& path);
[[nodiscard]] std::expected<void, IoError> remove_file(const std::string& path);
[[nodiscard]] std::expected<std::vector<std::string>, IoError> list_dir(At at, const std::string& path);
[[nodiscard]] std::expected<std::vector<std::string>, IoError> list_dir(const std::string& path);
// st_mode of what `path` names, without following a symbolic link there.
[[nodiscard]] std::expected<mode_t, IoError> entry_mode(At at, const std::string& path);
// Ok when the path exists; the errno otherwise.
[[nodiscard]] std::expected<void, IoError> path_exists(const std::string& path);

}  // namespace corvane
