// An in-memory file system (put it behind a FaultFs to use it) that
// remembers what a sync made durable, and the states a power loss may leave:
// for each file its durable content plus a prefix of the writes since, the
// rest dropped or turned into zeros or garbage; for each name changed since
// its directory's last sync, anything it named since.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/io.h"
#include "io/file_system.h"

namespace corvane::testing {

struct SimDisk {
  static constexpr int kDir = -1, kNone = -2;  // what a path names besides a file
  // A write, or a truncation to `offset`.
  struct Change { std::uint64_t offset = 0; Bytes data; bool truncate = false; };
  // `pending`: the changes since the last sync.
  struct File { Bytes data, durable; std::vector<Change> pending; };
  std::vector<File> files;
  std::map<std::string, int> names;  // normalized path -> file, or kDir
  // For each path changed since its directory's last sync: what it named
  // before each change (the durable one first) and after the last.
  std::map<std::string, std::vector<int>> history;
};

class SimFs final : public FileSystem {
 public:
  explicit SimFs(SimDisk disk = {}) : disk_(std::move(disk)) {}
  const SimDisk& disk() const { return disk_; }
  std::size_t open_files() const { return fds_.size(); }

  int openat(int dir, const char* path, int flags, mode_t mode) override;
  int close(int fd) override;
  ssize_t pread(int fd, void* buf, std::size_t len, off_t offset) override;
  ssize_t pwrite(int fd, const void* buf, std::size_t len, off_t offset) override;
  int fsize(int fd, std::uint64_t* size) override;
  int fstat(int fd, struct stat* st) override;
  int lstatat(int dir, const char* path, mode_t* mode) override;
  int exists(const char* path) override;
  int sync(int fd) override;
  int ftruncate(int fd, off_t len) override;
  int mkdir(const char* path, mode_t mode) override;
  int renameat(int dir, const char* from, const char* to) override;
  int unlinkat(int dir, const char* path) override;
  int flock(int fd, int operation) override;
  int list_dir_at(int dir, const char* path, std::vector<std::string>* names) override;

 private:
  int lookup(const std::string& path) const;  // kNone when absent
  // The absolute path that `path` names from `dir` (kCwd: `path` is
  // absolute already), or false with errno set.
  bool resolve(int dir, const char* path, std::string* out) const;
  // The open file behind `fd`, or null with errno set.
  SimDisk::File* file_of(int fd);
  void set(const std::string& path, int node);
  int change(int fd, SimDisk::Change c);  // a write or truncation

  SimDisk disk_;
  std::map<int, std::pair<int, std::string>> fds_;  // descriptor -> node, path
  int next_fd_ = 3;
};

// The disks a power loss on `disk` at this moment may leave, each as the
// machine finds it after the restart (nothing pending). Every combination of
// the per-file and per-name choices when there are at most `limit`;
// otherwise `limit` of them drawn with `rng`, the first being the one where
// nothing unsynced survives and the second the one where all of it does.
std::vector<SimDisk> crash_states(const SimDisk& disk, std::mt19937_64& rng, std::size_t limit);

}  // namespace corvane::testing
