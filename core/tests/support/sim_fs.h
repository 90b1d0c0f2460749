// An in-memory file system behind the core's I/O seam that remembers what a
// sync made durable, and the states a power loss may leave: for each file
// its durable content plus a prefix of the writes since, the rest dropped or
// turned into zeros or garbage; for each directory entry changed since its
// directory's last sync, any node it named since.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/io.h"
#include "support/fault_fs.h"

namespace corvane::testing {

struct SimNode {
  bool is_dir = false;
  // A file: what reads see, what its last sync made durable, and the
  // changes since, in order.
  struct Change {
    std::uint64_t offset = 0;  // a truncation: the new length
    Bytes data;
    bool truncate = false;
  };
  Bytes data;
  Bytes durable;
  std::vector<Change> pending;
  // A directory: its entries, and for each name changed since its last sync
  // the node the name stood for before each change and after the last one
  // (-1: none), the durable one first.
  std::map<std::string, int> entries;
  std::map<std::string, std::vector<int>> history;

  static SimNode directory() {
    SimNode n;
    n.is_dir = true;
    return n;
  }
};

// A whole file system; node 0 is the root directory.
struct SimDisk {
  std::vector<SimNode> nodes = {SimNode::directory()};
};

class SimFs final : public FileSystem {
 public:
  // Installs itself for its lifetime over `disk`, as a machine sees it after
  // a restart; the file system it replaced is restored on destruction.
  explicit SimFs(SimDisk disk = {});
  ~SimFs() override;
  SimFs(const SimFs&) = delete;
  SimFs& operator=(const SimFs&) = delete;

  const SimDisk& disk() const { return disk_; }
  std::size_t open_files() const { return fds_.size(); }
  // Runs before every call (crash points are taken there).
  std::function<void(FsOp)> before;

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
  void call(FsOp op) {
    if (before) before(op);
  }
  // The node `path` names, or -1 with errno set.
  int find(const char* path) const;
  // The directory that holds `path`'s last component, which goes to `name`.
  int find_parent(const char* path, std::string* name) const;
  // The node behind an open descriptor, or null with errno EBADF.
  SimNode* node_of(int fd);
  void set_entry(int dir, const std::string& name, int node);

  SimDisk disk_;
  std::map<int, int> fds_;  // descriptor -> node
  int next_fd_ = 3;
  FileSystem* replaced_;
};

// The disks a power loss on `disk` at this moment may leave, each as the
// machine finds it after the restart (nothing pending). Every combination of
// the per-file and per-entry choices when there are at most `limit`;
// otherwise `limit` of them drawn with `rng`, the first being the one where
// nothing unsynced survives and the second the one where all of it does.
std::vector<SimDisk> crash_states(const SimDisk& disk, std::mt19937_64& rng, std::size_t limit);

}  // namespace corvane::testing
