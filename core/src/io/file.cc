// File helpers over the seam: EINTR retried, short transfers continued,
// failures returned as IoError.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "corvane/io.h"
#include "io/file_system.h"

namespace corvane {

namespace {

// Larger transfers are split: some systems refuse single calls of 2 GiB.
constexpr std::size_t kMaxTransfer = 0x7FFFFFFF;

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

std::unexpected<IoError> last_error() { return std::unexpected(IoError::from_errno(errno)); }

// Repeats a call while a signal interrupts it; its result otherwise.
template <typename Call>
auto uninterrupted(Call call) {
  for (;;) {
    const auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

// The directory holding `path`'s last component.
std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void File::reset() {
  if (fd_ >= 0) {
    fs().close(fd_);
    fd_ = -1;
  }
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::expected<File, IoError> open_file(At at, const std::string& path, int flags, mode_t mode) {
  if (has_nul(path)) return std::unexpected(IoError::nul_in_path());
  const int fd = uninterrupted([&] { return fs().openat(at.fd(), path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return last_error();
  return File(fd);
}

std::expected<File, IoError> open_file(const std::string& path, int flags, mode_t mode) {
  return open_file(At::cwd(), path, flags, mode);
}

std::expected<File, IoError> open_regular_file(At at, const std::string& path, int flags, mode_t mode) {
  // O_NONBLOCK: opening a FIFO or a device never waits for its other end.
  // It changes nothing for a regular file, so it stays set.
  auto file = open_file(at, path, flags | O_NONBLOCK | O_NOCTTY, mode);
  if (!file) {
    const IoError& e = file.error();
    // The open itself can tell: a link refused by O_NOFOLLOW, a directory
    // opened for writing, a socket or a device without a driver.
    const bool link = e.code == ELOOP && (flags & O_NOFOLLOW) != 0;
    if (e.fixed == IoError::Fixed::kNone && (link || e.code == EISDIR || e.code == ENXIO)) {
      return std::unexpected(IoError::not_regular_file());
    }
    return file;
  }
  struct stat st{};
  if (uninterrupted([&] { return fs().fstat(file->fd(), &st); }) != 0) return last_error();
  if (!S_ISREG(st.st_mode)) return std::unexpected(IoError::not_regular_file());
  return file;
}

std::expected<std::size_t, IoError> read_at(const File& file, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t want = std::min(out.size() - done, kMaxTransfer);
    const ssize_t n = fs().pread(file.fd(), out.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::expected<void, IoError> read_exact_at(const File& file, std::uint64_t offset, std::span<std::uint8_t> out) {
  auto n = read_at(file, offset, out);
  if (!n) return std::unexpected(n.error());
  if (*n != out.size()) return std::unexpected(IoError::unexpected_eof());
  return {};
}

std::expected<void, IoError> write_all_at(const File& file, std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t want = std::min(data.size() - done, kMaxTransfer);
    const ssize_t n = fs().pwrite(file.fd(), data.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (n == 0) return std::unexpected(IoError::write_zero());
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<std::uint64_t, IoError> file_size(const File& file) {
  std::uint64_t size = 0;
  if (uninterrupted([&] { return fs().fsize(file.fd(), &size); }) != 0) return last_error();
  return size;
}

std::expected<void, IoError> sync_file(const File& file) {
  // A failed sync is not retried: the kernel may already have dropped the
  // dirty pages, so a second success would prove nothing.
  if (uninterrupted([&] { return fs().sync(file.fd()); }) != 0) return last_error();
  return {};
}

void start_writeback(const File& file, std::uint64_t offset, std::uint64_t len) {
  uninterrupted([&] { return fs().start_writeback(file.fd(), static_cast<off_t>(offset), static_cast<off_t>(len)); });
}

std::expected<void, IoError> sync_dir(const std::string& path) {
  auto dir = open_file(path, O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  return sync_file(*dir);
}

std::expected<void, IoError> truncate_file(const File& file, std::uint64_t length) {
  if (uninterrupted([&] { return fs().ftruncate(file.fd(), static_cast<off_t>(length)); }) != 0) {
    return last_error();
  }
  return {};
}

std::expected<void, IoError> create_dir_all(const std::string& path, mode_t mode) {
  if (has_nul(path)) return std::unexpected(IoError::nul_in_path());
  if (path.empty()) return std::unexpected(IoError::from_errno(ENOENT));
  // Walk down from the top, creating what is missing; an existing entry is
  // fine as long as the final one is a directory.
  std::vector<std::string> created;
  for (std::size_t pos = 1;; ++pos) {
    pos = path.find('/', pos);
    std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && prefix.back() != '/') {
      if (uninterrupted([&] { return fs().mkdir(prefix.c_str(), mode); }) == 0) {
        created.push_back(std::move(prefix));
      } else if (errno != EEXIST) {
        return last_error();
      }
    }
    if (pos == std::string::npos) break;
  }
  // mkdir reports EEXIST for a file too; make sure it is a directory.
  auto dir = open_file(path, O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  for (const std::string& made : created) {
    if (auto r = sync_dir(parent_of(made)); !r) return r;
  }
  return {};
}

std::expected<std::vector<std::string>, IoError> list_dir(At at, const std::string& path) {
  if (has_nul(path)) return std::unexpected(IoError::nul_in_path());
  std::vector<std::string> names;
  if (uninterrupted([&] { return fs().list_dir_at(at.fd(), path.c_str(), &names); }) != 0) return last_error();
  return names;
}

std::expected<std::vector<std::string>, IoError> list_dir(const std::string& path) { return list_dir(At::cwd(), path); }

std::expected<mode_t, IoError> entry_mode(At at, const std::string& path) {
  if (has_nul(path)) return std::unexpected(IoError::nul_in_path());
  mode_t mode = 0;
  if (uninterrupted([&] { return fs().lstatat(at.fd(), path.c_str(), &mode); }) != 0) return last_error();
  return mode;
}

std::expected<void, IoError> path_exists(const std::string& path) {
  if (has_nul(path)) return std::unexpected(IoError::nul_in_path());
  if (uninterrupted([&] { return fs().exists(path.c_str()); }) != 0) return last_error();
  return {};
}

std::expected<void, IoError> rename_file(At at, const std::string& from, const std::string& to) {
  if (has_nul(from) || has_nul(to)) return std::unexpected(IoError::nul_in_path());
  if (uninterrupted([&] { return fs().renameat(at.fd(), from.c_str(), to.c_str()); }) != 0) return last_error();
  return {};
}

std::expected<void, IoError> rename_file(const std::string& from, const std::string& to) {
  return rename_file(At::cwd(), from, to);
}

std::expected<void, IoError> remove_file(At at, const std::string& path) {
  if (has_nul(path)) return std::unexpected(IoError::nul_in_path());
  if (uninterrupted([&] { return fs().unlinkat(at.fd(), path.c_str()); }) != 0) return last_error();
  return {};
}

std::expected<void, IoError> remove_file(const std::string& path) { return remove_file(At::cwd(), path); }

}  // namespace corvane
