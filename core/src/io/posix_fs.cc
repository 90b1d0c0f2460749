// The real file system behind the seam.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "corvane/io.h"
#include "io/file_system.h"

namespace corvane {

namespace {

class PosixFileSystem final : public FileSystem {
 public:
  int openat(int dir, const char* path, int flags, mode_t mode) override { return ::openat(dir, path, flags, mode); }
  int close(int fd) override { return ::close(fd); }
  ssize_t pread(int fd, void* buf, std::size_t len, off_t offset) override { return ::pread(fd, buf, len, offset); }
  ssize_t pwrite(int fd, const void* buf, std::size_t len, off_t offset) override {
    return ::pwrite(fd, buf, len, offset);
  }
  int fsize(int fd, std::uint64_t* size) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    *size = static_cast<std::uint64_t>(st.st_size);
    return 0;
  }
  int fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int lstatat(int dir, const char* path, mode_t* mode) override {
    struct stat st;
    if (::fstatat(dir, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    *mode = st.st_mode;
    return 0;
  }
  int exists(const char* path) override {
    struct stat st;
    return ::stat(path, &st);
  }
  int sync(int fd) override {
#ifdef __APPLE__
    // fsync on macOS does not ask the drive to empty its cache.
    return ::fcntl(fd, F_FULLFSYNC);
#else
    return ::fsync(fd);
#endif
  }
#ifdef __linux__
  int start_writeback(int fd, off_t offset, off_t len) override {
    return ::sync_file_range(fd, offset, len, SYNC_FILE_RANGE_WRITE);
  }
#endif
  int ftruncate(int fd, off_t len) override { return ::ftruncate(fd, len); }
  int mkdir(const char* path, mode_t mode) override { return ::mkdir(path, mode); }
  int renameat(int dir, const char* from, const char* to) override { return ::renameat(dir, from, dir, to); }
  int unlinkat(int dir, const char* path) override { return ::unlinkat(dir, path, 0); }
  int flock(int fd, int operation) override { return ::flock(fd, operation); }
  int list_dir_at(int at, const char* path, std::vector<std::string>* names) override {
    const int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    DIR* dir = ::fdopendir(fd);  // owns fd from here on
    if (dir == nullptr) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
    names->clear();
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) break;
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names->emplace_back(entry->d_name);
    }
    const int saved = errno;
    ::closedir(dir);
    if (saved != 0) {
      errno = saved;
      return -1;
    }
    return 0;
  }
};

PosixFileSystem g_posix;
FileSystem* g_current = &g_posix;

}  // namespace

FileSystem& posix_file_system() { return g_posix; }
FileSystem& fs() { return *g_current; }
void set_file_system(FileSystem* replacement) { g_current = replacement ? replacement : &g_posix; }

}  // namespace corvane
