// POSIX file access for the core. Every helper retries EINTR, loops over
// short transfers and returns failures as IoError values. The calls go
// through one replaceable seam (io/file_system.h) so that tests can inject
// failures or run on a simulated file system.
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
  static At cwd() { return At(AT_FDCWD); }
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
