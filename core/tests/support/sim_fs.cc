#include "support/sim_fs.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>

namespace corvane::testing {

namespace {

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> out;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") out.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

int fail(int err) {
  errno = err;
  return -1;
}

void write_at(Bytes& data, std::uint64_t offset, const std::uint8_t* bytes, std::size_t len) {
  if (len == 0) return;
  if (data.size() < offset + len) data.resize(offset + len);
  std::memcpy(data.data() + offset, bytes, len);
}

}  // namespace

SimFs::SimFs(SimDisk disk) : disk_(std::move(disk)), replaced_(&fs()) { set_file_system(this); }

SimFs::~SimFs() { set_file_system(replaced_); }

int SimFs::find(const char* path) const {
  if (*path == '\0') return fail(ENOENT);
  int node = 0;
  for (const std::string& part : components(path)) {
    const SimNode& dir = disk_.nodes[node];
    if (!dir.is_dir) return fail(ENOTDIR);
    const auto it = dir.entries.find(part);
    if (it == dir.entries.end()) return fail(ENOENT);
    node = it->second;
  }
  return node;
}

int SimFs::find_parent(const char* path, std::string* name) const {
  std::vector<std::string> parts = components(path);
  if (parts.empty()) return fail(EEXIST);  // the root
  *name = parts.back();
  parts.pop_back();
  std::string parent = "/";
  for (const std::string& p : parts) parent += p + "/";
  const int dir = find(parent.c_str());
  if (dir < 0) return -1;
  return disk_.nodes[dir].is_dir ? dir : fail(ENOTDIR);
}

SimNode* SimFs::node_of(int fd) {
  const auto it = fds_.find(fd);
  if (it == fds_.end()) return errno = EBADF, nullptr;
  return &disk_.nodes[it->second];
}

void SimFs::set_entry(int dir, const std::string& name, int node) {
  SimNode& d = disk_.nodes[dir];
  const auto it = d.entries.find(name);
  const int old = it == d.entries.end() ? -1 : it->second;
  auto& history = d.history[name];
  if (history.empty()) history.push_back(old);
  history.push_back(node);
  if (node < 0) {
    d.entries.erase(name);
  } else {
    d.entries[name] = node;
  }
}

int SimFs::open(const char* path, int flags, mode_t) {
  call(FsOp::kOpen);
  int node = find(path);
  if (node < 0) {
    if (errno != ENOENT || (flags & O_CREAT) == 0) return -1;
    std::string name;
    const int dir = find_parent(path, &name);
    if (dir < 0) return -1;
    disk_.nodes.emplace_back();
    node = static_cast<int>(disk_.nodes.size() - 1);
    set_entry(dir, name, node);
  } else if ((flags & O_CREAT) && (flags & O_EXCL)) {
    return fail(EEXIST);
  }
  SimNode& n = disk_.nodes[node];
  if (n.is_dir && (flags & O_ACCMODE) != O_RDONLY) return fail(EISDIR);
  if (!n.is_dir && (flags & O_DIRECTORY)) return fail(ENOTDIR);
  if (!n.is_dir && (flags & O_TRUNC) && !n.data.empty()) {
    n.data.clear();
    n.pending.push_back({0, {}, true});
  }
  fds_[next_fd_] = node;
  return next_fd_++;
}

int SimFs::close(int fd) {
  call(FsOp::kClose);
  return fds_.erase(fd) == 1 ? 0 : fail(EBADF);
}

ssize_t SimFs::pread(int fd, void* buf, std::size_t len, off_t offset) {
  call(FsOp::kPread);
  const SimNode* n = node_of(fd);
  if (n == nullptr) return -1;
  if (n->is_dir) return fail(EISDIR);
  const auto at = static_cast<std::uint64_t>(offset);
  if (at >= n->data.size()) return 0;
  const std::size_t count = std::min<std::uint64_t>(len, n->data.size() - at);
  std::memcpy(buf, n->data.data() + at, count);
  return static_cast<ssize_t>(count);
}

ssize_t SimFs::pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
  call(FsOp::kPwrite);
  SimNode* n = node_of(fd);
  if (n == nullptr) return -1;
  if (n->is_dir) return fail(EBADF);
  const auto* bytes = static_cast<const std::uint8_t*>(buf);
  write_at(n->data, static_cast<std::uint64_t>(offset), bytes, len);
  n->pending.push_back({static_cast<std::uint64_t>(offset), Bytes(bytes, bytes + len), false});
  return static_cast<ssize_t>(len);
}

int SimFs::fsize(int fd, std::uint64_t* size) {
  call(FsOp::kFsize);
  const SimNode* n = node_of(fd);
  if (n == nullptr) return -1;
  *size = n->data.size();
  return 0;
}

int SimFs::exists(const char* path) {
  call(FsOp::kExists);
  return find(path) < 0 ? -1 : 0;
}

int SimFs::sync(int fd) {
  call(FsOp::kSync);
  SimNode* n = node_of(fd);
  if (n == nullptr) return -1;
  n->history.clear();
  n->durable = n->data;
  n->pending.clear();
  return 0;
}

int SimFs::ftruncate(int fd, off_t len) {
  call(FsOp::kFtruncate);
  SimNode* n = node_of(fd);
  if (n == nullptr) return -1;
  if (n->is_dir) return fail(EINVAL);
  n->data.resize(static_cast<std::size_t>(len));
  n->pending.push_back({static_cast<std::uint64_t>(len), {}, true});
  return 0;
}

int SimFs::mkdir(const char* path, mode_t) {
  call(FsOp::kMkdir);
  if (find(path) >= 0) return fail(EEXIST);
  std::string name;
  const int dir = find_parent(path, &name);
  if (dir < 0) return -1;
  disk_.nodes.push_back(SimNode::directory());
  set_entry(dir, name, static_cast<int>(disk_.nodes.size() - 1));
  return 0;
}

int SimFs::rename(const char* from, const char* to) {
  call(FsOp::kRename);
  const int node = find(from);
  if (node < 0) return -1;
  std::string from_name, to_name;
  const int from_dir = find_parent(from, &from_name);
  const int to_dir = find_parent(to, &to_name);
  if (from_dir < 0 || to_dir < 0) return -1;
  if (from_dir == to_dir && from_name == to_name) return 0;
  set_entry(to_dir, to_name, node);
  set_entry(from_dir, from_name, -1);
  return 0;
}

int SimFs::unlink(const char* path) {
  call(FsOp::kUnlink);
  const int node = find(path);
  if (node < 0) return -1;
  if (disk_.nodes[node].is_dir) return fail(EISDIR);
  std::string name;
  set_entry(find_parent(path, &name), name, -1);
  return 0;
}

int SimFs::flock(int fd, int) {
  call(FsOp::kFlock);
  return node_of(fd) == nullptr ? -1 : 0;
}

int SimFs::list_dir(const char* path, std::vector<std::string>* names) {
  call(FsOp::kListDir);
  const int node = find(path);
  if (node < 0) return -1;
  const SimNode& n = disk_.nodes[node];
  if (!n.is_dir) return fail(ENOTDIR);
  names->clear();
  for (const auto& entry : n.entries) names->push_back(entry.first);
  return 0;
}

namespace {

enum class Rest : std::uint8_t { kDropped, kZeros, kGarbage };

// A file after a crash: its durable content, the first `whole` pending
// changes, `part` bytes of the next write; the rest dropped, or written
// with zeros or garbage in place of its bytes (its length reached, its data
// not).
Bytes survivor(const SimNode& n, std::size_t whole, std::size_t part, Rest rest, std::mt19937_64& rng) {
  Bytes out = n.durable;
  for (std::size_t i = 0; i < n.pending.size(); ++i) {
    const SimNode::Change& c = n.pending[i];
    const bool kept = i < whole;
    if (!kept && rest == Rest::kDropped && (i > whole || part == 0)) break;
    if (c.truncate) {
      if (kept || rest != Rest::kDropped) out.resize(c.offset);
      continue;
    }
    Bytes data = c.data;
    const std::size_t intact = kept ? data.size() : i == whole ? std::min(part, data.size()) : 0;
    if (rest == Rest::kDropped) {
      data.resize(intact);
    } else {
      for (std::size_t b = intact; b < data.size(); ++b) data[b] = rest == Rest::kZeros ? 0 : static_cast<std::uint8_t>(rng());
    }
    write_at(out, c.offset, data.data(), data.size());
  }
  return out;
}

// What one file may hold after a crash: nothing unsynced first, everything
// last, and between them cuts at and inside each pending change with each
// way of losing the rest.
std::vector<Bytes> file_choices(const SimNode& n, std::mt19937_64& rng) {
  std::vector<std::pair<std::size_t, std::size_t>> cuts;
  for (std::size_t i = 0; i < n.pending.size(); ++i) {
    cuts.emplace_back(i, 0);
    const std::size_t len = n.pending[i].data.size();
    if (len > 1) {
      for (std::size_t part : {std::size_t{1}, 1 + rng() % (len - 1), len - 1}) cuts.emplace_back(i, part);
    }
  }
  std::vector<Bytes> out = {n.durable};
  std::set<Bytes> seen = {n.durable, n.data};
  for (const auto& [whole, part] : cuts) {
    for (Rest rest : {Rest::kDropped, Rest::kZeros, Rest::kGarbage}) {
      Bytes b = survivor(n, whole, part, rest, rng);
      if (seen.insert(b).second) out.push_back(std::move(b));
    }
  }
  if (n.data != n.durable) out.push_back(n.data);
  return out;
}

}  // namespace

std::vector<SimDisk> crash_states(const SimDisk& disk, std::mt19937_64& rng, std::size_t limit) {
  // One dimension per directory entry changed since its directory's sync
  // and per file with unsynced changes that some entry names.
  struct Entry {
    int dir;
    std::string name;
    std::vector<int> nodes;
  };
  std::vector<Entry> entries;
  std::set<int> named;
  for (std::size_t d = 0; d < disk.nodes.size(); ++d) {
    for (const auto& [name, node] : disk.nodes[d].entries) named.insert(node);
    for (const auto& [name, history] : disk.nodes[d].history) {
      std::vector<int> nodes;  // the durable one first
      for (int node : history) {
        if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) nodes.push_back(node);
        named.insert(node);
      }
      if (nodes.size() > 1) entries.push_back({static_cast<int>(d), name, std::move(nodes)});
    }
  }
  std::vector<std::pair<int, std::vector<Bytes>>> files;
  for (int node : named) {
    if (node >= 0 && !disk.nodes[node].is_dir && !disk.nodes[node].pending.empty()) {
      files.emplace_back(node, file_choices(disk.nodes[node], rng));
    }
  }
  // Choices per dimension, and which of them is the state before the crash.
  std::vector<std::size_t> sizes, current;
  for (const Entry& e : entries) {
    sizes.push_back(e.nodes.size());
    const int now = disk.nodes[e.dir].history.at(e.name).back();
    current.push_back(static_cast<std::size_t>(std::find(e.nodes.begin(), e.nodes.end(), now) - e.nodes.begin()));
  }
  for (const auto& f : files) {
    sizes.push_back(f.second.size());
    current.push_back(f.second.back() == disk.nodes[f.first].data ? f.second.size() - 1 : 0);
  }
  std::size_t total = 1;
  for (std::size_t s : sizes) total = total > limit ? total : total * s;

  const auto build = [&](const std::vector<std::size_t>& pick) {
    SimDisk out = disk;
    for (SimNode& n : out.nodes) {
      n.history.clear();
      n.pending.clear();
      n.data = n.durable;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      auto& dir = out.nodes[entries[i].dir].entries;
      const int node = entries[i].nodes[pick[i]];
      if (node < 0) {
        dir.erase(entries[i].name);
      } else {
        dir[entries[i].name] = node;
      }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
      SimNode& n = out.nodes[files[i].first];
      n.data = n.durable = files[i].second[pick[entries.size() + i]];
    }
    return out;
  };

  std::vector<SimDisk> out;
  std::vector<std::size_t> pick(sizes.size(), 0);
  if (total <= limit) {
    for (std::size_t k = 0; k < total; ++k) {
      out.push_back(build(pick));
      for (std::size_t i = 0; i < pick.size() && ++pick[i] == sizes[i]; ++i) pick[i] = 0;
    }
    return out;
  }
  out.push_back(build(pick));
  out.push_back(build(current));
  while (out.size() < limit) {
    for (std::size_t i = 0; i < pick.size(); ++i) pick[i] = rng() % sizes[i];
    out.push_back(build(pick));
  }
  return out;
}

}  // namespace corvane::testing
