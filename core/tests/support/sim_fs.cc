#include "support/sim_fs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

namespace corvane::testing {

namespace {

// Paths come absolute and without "." or "//"; the root is "".
std::string normal(std::string path) { return path.erase(path.find_last_not_of('/') + 1); }
std::string parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
int fail(int err) { return errno = err, -1; }
void point(std::map<std::string, int>& names, const std::string& path, int node) {
  if (node == SimDisk::kNone) {
    names.erase(path);
  } else {
    names[path] = node;
  }
}
mode_t mode_of(int node) { return node == SimDisk::kDir ? S_IFDIR | 0750 : S_IFREG | 0640; }

void put(Bytes& data, const SimDisk::Change& c) {
  if (!c.truncate && c.data.empty()) return;  // a dropped write does not reach its offset
  if (c.truncate || data.size() < c.offset + c.data.size()) data.resize(c.truncate ? c.offset : c.offset + c.data.size());
  std::copy(c.data.begin(), c.data.end(), data.begin() + static_cast<std::ptrdiff_t>(c.offset));
}

// What one file may hold after a crash: nothing unsynced first, everything
// last, and between them each pending change cut at its start or inside it,
// the rest dropped or written with zeros or garbage in place of its bytes
// (its length reached, its data not).
std::vector<Bytes> file_choices(const SimDisk::File& f, std::mt19937_64& rng) {
  std::vector<Bytes> out = {f.durable};
  std::set<Bytes> seen = {f.durable, f.data};
  for (std::size_t cut = 0; cut < f.pending.size(); ++cut) {
    const std::size_t len = f.pending[cut].data.size();
    std::vector<std::size_t> parts = {0};
    if (len > 1) parts.insert(parts.end(), {1, 1 + rng() % (len - 1), len - 1});
    for (const std::size_t part : parts)
      for (const int rest : {0, 1, 2}) {  // dropped, zeros, garbage
        Bytes b = f.durable;
        for (std::size_t i = 0; i < f.pending.size() && (i < cut || rest != 0 || (i == cut && part != 0)); ++i) {
          SimDisk::Change c = f.pending[i];  // a truncation has no data and applies whole
          const std::size_t intact = i < cut ? c.data.size() : i == cut ? std::min(part, c.data.size()) : 0;
          if (rest == 0) c.data.resize(intact);
          for (std::size_t k = intact; k < c.data.size(); ++k) c.data[k] = rest == 1 ? 0 : static_cast<std::uint8_t>(rng());
          put(b, c);
        }
        if (seen.insert(b).second) out.push_back(std::move(b));
      }
  }
  if (f.data != f.durable) out.push_back(f.data);
  return out;
}

}  // namespace

int SimFs::lookup(const std::string& path) const {
  const auto it = disk_.names.find(path);
  return path.empty() ? SimDisk::kDir : it == disk_.names.end() ? SimDisk::kNone : it->second;
}

SimDisk::File* SimFs::file_of(int fd) {
  const auto it = fds_.find(fd);
  if (it == fds_.end() || it->second.first < 0) return errno = it == fds_.end() ? EBADF : EISDIR, nullptr;
  return &disk_.files[it->second.first];
}

void SimFs::set(const std::string& path, int node) {
  auto& history = disk_.history[path];
  if (history.empty()) history.push_back(lookup(path));  // the durable one
  history.push_back(node);
  point(disk_.names, path, node);
}

bool SimFs::resolve(int dir, const char* path, std::string* out) const {
  if (dir == kCwd) return *out = normal(path), true;
  const auto it = fds_.find(dir);
  if (it == fds_.end() || it->second.first != SimDisk::kDir) return errno = it == fds_.end() ? EBADF : ENOTDIR, false;
  return *out = std::string_view(path) == "." ? it->second.second : normal(it->second.second + "/" + path), true;
}

int SimFs::openat(int dir, const char* path, int flags, mode_t) {
  std::string p;
  if (!resolve(dir, path, &p)) return -1;
  int node = lookup(p);
  if (node != SimDisk::kNone && (flags & O_CREAT) && (flags & O_EXCL)) return fail(EEXIST);
  if (node >= 0 && (flags & O_DIRECTORY)) return fail(ENOTDIR);
  if (node == SimDisk::kNone) {
    if ((flags & O_CREAT) == 0 || lookup(parent(p)) != SimDisk::kDir) return fail(ENOENT);
    disk_.files.emplace_back();
    set(p, node = static_cast<int>(disk_.files.size() - 1));
  }
  fds_[next_fd_] = {node, p};
  if (node >= 0 && (flags & O_TRUNC) && !disk_.files[node].data.empty()) ftruncate(next_fd_, 0);
  return next_fd_++;
}

int SimFs::close(int fd) { return fds_.erase(fd) == 1 ? 0 : fail(EBADF); }

ssize_t SimFs::pread(int fd, void* buf, std::size_t len, off_t offset) {
  const SimDisk::File* f = file_of(fd);
  if (f == nullptr) return -1;
  const auto at = std::min<std::uint64_t>(static_cast<std::uint64_t>(offset), f->data.size());
  const std::size_t count = std::min<std::uint64_t>(len, f->data.size() - at);
  std::copy_n(f->data.begin() + static_cast<std::ptrdiff_t>(at), count, static_cast<std::uint8_t*>(buf));
  return static_cast<ssize_t>(count);
}

int SimFs::change(int fd, SimDisk::Change c) {
  SimDisk::File* f = file_of(fd);
  if (f == nullptr) return -1;
  put(f->data, c);
  f->pending.push_back(std::move(c));
  return 0;
}

ssize_t SimFs::pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
  const auto* bytes = static_cast<const std::uint8_t*>(buf);
  return change(fd, {static_cast<std::uint64_t>(offset), Bytes(bytes, bytes + len), false}) == 0 ? static_cast<ssize_t>(len) : -1;
}

int SimFs::fsize(int fd, std::uint64_t* size) {
  const SimDisk::File* f = file_of(fd);
  if (f == nullptr) return -1;
  *size = f->data.size();
  return 0;
}

int SimFs::fstat(int fd, struct stat* st) {
  const auto it = fds_.find(fd);
  if (it == fds_.end()) return fail(EBADF);
  *st = {};
  st->st_mode = mode_of(it->second.first);
  return 0;
}

int SimFs::lstatat(int dir, const char* path, mode_t* mode) {
  std::string p;
  if (!resolve(dir, path, &p)) return -1;
  const int node = lookup(p);
  return node == SimDisk::kNone ? fail(ENOENT) : (*mode = mode_of(node), 0);
}

int SimFs::exists(const char* path) { return lookup(normal(path)) == SimDisk::kNone ? fail(ENOENT) : 0; }

int SimFs::sync(int fd) {
  const auto it = fds_.find(fd);
  if (it == fds_.end()) return fail(EBADF);
  const auto& [node, path] = it->second;
  if (node == SimDisk::kDir) std::erase_if(disk_.history, [&](const auto& entry) { return parent(entry.first) == path; });
  if (node != SimDisk::kDir) disk_.files[node] = {disk_.files[node].data, disk_.files[node].data, {}};
  return 0;
}

int SimFs::ftruncate(int fd, off_t len) { return change(fd, {static_cast<std::uint64_t>(len), {}, true}); }

int SimFs::mkdir(const char* path, mode_t) {
  const std::string p = normal(path);
  if (lookup(p) != SimDisk::kNone) return fail(EEXIST);
  if (lookup(parent(p)) != SimDisk::kDir) return fail(ENOENT);
  set(p, SimDisk::kDir);
  return 0;
}

int SimFs::renameat(int dir, const char* from, const char* to) {
  std::string a, b;
  if (!resolve(dir, from, &a) || !resolve(dir, to, &b)) return -1;
  const int node = lookup(a);
  if (node == SimDisk::kNone || lookup(parent(b)) != SimDisk::kDir) return fail(ENOENT);
  set(b, node);
  set(a, SimDisk::kNone);
  return 0;
}

int SimFs::unlinkat(int dir, const char* path) {
  std::string p;
  if (!resolve(dir, path, &p)) return -1;
  const int node = lookup(p);
  return node == SimDisk::kNone ? fail(ENOENT) : node == SimDisk::kDir ? fail(EISDIR) : (set(p, SimDisk::kNone), 0);
}

int SimFs::flock(int fd, int) { return fds_.count(fd) != 0 ? 0 : fail(EBADF); }

int SimFs::list_dir_at(int dir, const char* path, std::vector<std::string>* names) {
  std::string p;
  if (!resolve(dir, path, &p)) return -1;
  if (lookup(p) != SimDisk::kDir) return fail(ENOENT);
  names->clear();
  for (const auto& entry : disk_.names)
    if (parent(entry.first) == p) names->push_back(entry.first.substr(p.size() + 1));
  return 0;
}

std::vector<SimDisk> crash_states(const SimDisk& disk, std::mt19937_64& rng, std::size_t limit) {
  // One dimension per name changed since its directory's sync, and per file
  // with unsynced changes that a name holds or held: its choices, which of
  // them is the state before the crash, and how one is applied.
  struct Dim { std::size_t size, now; std::function<void(SimDisk&, std::size_t)> apply; };
  std::vector<Dim> dims;
  std::set<int> named;
  for (const auto& entry : disk.names) named.insert(entry.second);
  for (const auto& [path, history] : disk.history) {
    std::vector<int> nodes;  // the durable one first
    for (int node : history)
      if (std::ranges::find(nodes, node) == nodes.end()) nodes.push_back(node);
    named.insert(history.begin(), history.end());
    const auto now = static_cast<std::size_t>(std::find(nodes.begin(), nodes.end(), history.back()) - nodes.begin());
    dims.push_back({nodes.size(), now, [path, nodes](SimDisk& d, std::size_t k) { point(d.names, path, nodes[k]); }});
  }
  for (int f : named) {
    if (f < 0 || disk.files[f].pending.empty()) continue;
    std::vector<Bytes> choices = file_choices(disk.files[f], rng);
    const std::size_t now = choices.back() == disk.files[f].data ? choices.size() - 1 : 0;
    dims.push_back({choices.size(), now, [f, choices](SimDisk& d, std::size_t k) { d.files[f].data = d.files[f].durable = choices[k]; }});
  }
  SimDisk base{disk.files, disk.names, {}};
  for (SimDisk::File& f : base.files) f = {f.durable, f.durable, {}};
  const auto build = [&](const std::vector<std::size_t>& pick) {
    SimDisk out = base;
    for (std::size_t i = 0; i < dims.size(); ++i) dims[i].apply(out, pick[i]);
    // A name goes with its directory (which sorts before it).
    std::erase_if(out.names, [&](const auto& entry) {
      const auto dir = out.names.find(parent(entry.first));
      return !parent(entry.first).empty() && (dir == out.names.end() || dir->second != SimDisk::kDir);
    });
    return out;
  };
  // All of them in order while there are few enough; else none unsynced, all, and random picks.
  std::size_t total = 1;
  std::vector<std::size_t> pick(dims.size(), 0), now;
  for (const Dim& d : dims) total = total > limit ? total : total * d.size, now.push_back(d.now);
  std::vector<SimDisk> out;
  for (std::size_t k = 0; k < std::min(total, limit); ++k) {
    for (std::size_t i = 0; total > limit && k > 0 && i < pick.size(); ++i) pick[i] = k == 1 ? now[i] : rng() % dims[i].size;
    out.push_back(build(pick));
    for (std::size_t i = 0; total <= limit && i < pick.size() && ++pick[i] == dims[i].size; ++i) pick[i] = 0;
  }
  return out;
}

}  // namespace corvane::testing
