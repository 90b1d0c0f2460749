#include "support.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corvane/segment.h"

namespace corvane::fuzz {

void fail(const char* file, int line, const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::abort();
}

std::uint8_t Input::byte() {
  if (left_ == 0) return 0;
  --left_;
  return *p_++;
}

std::uint16_t Input::u16() {
  const std::uint8_t lo = byte();
  return static_cast<std::uint16_t>(lo | (byte() << 8));
}

Bytes Input::take(std::size_t n) {
  n = std::min(n, left_);
  Bytes out(p_, p_ + n);
  p_ += n;
  left_ -= n;
  return out;
}

// ---------------------------------------------------------------------------

MemFs::MemFs() {
  dirs_["/"] = true;
  set_file_system(this);
}
MemFs::~MemFs() { set_file_system(nullptr); }

const Bytes* MemFs::get(const std::string& path) const {
  auto it = files_.find(path);
  return it == files_.end() ? nullptr : it->second.get();
}

namespace {

std::string parent_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int fail_with(int err) {
  errno = err;
  return -1;
}

}  // namespace

int MemFs::open(const char* path, int flags, mode_t) {
  const std::string p(path);
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  if (dirs_.count(p) != 0) {
    if (writable) return fail_with(EISDIR);
    fds_[next_fd_] = Open{nullptr, false};
    return next_fd_++;
  }
  if ((flags & O_DIRECTORY) != 0) return fail_with(files_.count(p) != 0 ? ENOTDIR : ENOENT);
  auto it = files_.find(p);
  if (it == files_.end()) {
    if ((flags & O_CREAT) == 0) return fail_with(ENOENT);
    if (dirs_.count(parent_of(p)) == 0) return fail_with(ENOENT);
    it = files_.emplace(p, std::make_shared<Bytes>()).first;
  } else if ((flags & O_TRUNC) != 0 && writable) {
    it->second->clear();
  }
  fds_[next_fd_] = Open{it->second, writable};
  return next_fd_++;
}

int MemFs::close(int fd) { return fds_.erase(fd) == 1 ? 0 : fail_with(EBADF); }

Bytes* MemFs::file_of(int fd, bool for_write) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return errno = EBADF, nullptr;
  if (it->second.file == nullptr) return errno = EISDIR, nullptr;
  if (for_write && !it->second.writable) return errno = EBADF, nullptr;
  return it->second.file.get();
}

ssize_t MemFs::pread(int fd, void* buf, std::size_t len, off_t offset) {
  Bytes* f = file_of(fd, false);
  if (f == nullptr) return -1;
  if (offset < 0) return fail_with(EINVAL);
  const auto at = static_cast<std::uint64_t>(offset);
  if (at >= f->size()) return 0;
  const std::size_t n = std::min<std::uint64_t>(len, f->size() - at);
  std::memcpy(buf, f->data() + at, n);
  return static_cast<ssize_t>(n);
}

ssize_t MemFs::pwrite(int fd, const void* buf, std::size_t len, off_t offset) {
  Bytes* f = file_of(fd, true);
  if (f == nullptr) return -1;
  if (offset < 0) return fail_with(EINVAL);
  const auto at = static_cast<std::size_t>(offset);
  if (f->size() < at + len) f->resize(at + len);
  std::memcpy(f->data() + at, buf, len);
  return static_cast<ssize_t>(len);
}

int MemFs::fsize(int fd, std::uint64_t* size) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return fail_with(EBADF);
  *size = it->second.file == nullptr ? 0 : it->second.file->size();
  return 0;
}

int MemFs::exists(const char* path) {
  return files_.count(path) != 0 || dirs_.count(path) != 0 ? 0 : fail_with(ENOENT);
}

int MemFs::sync(int fd) { return fds_.count(fd) != 0 ? 0 : fail_with(EBADF); }

int MemFs::ftruncate(int fd, off_t len) {
  Bytes* f = file_of(fd, true);
  if (f == nullptr) return -1;
  if (len < 0) return fail_with(EINVAL);
  f->resize(static_cast<std::size_t>(len));
  return 0;
}

int MemFs::mkdir(const char* path, mode_t) {
  if (exists(path) == 0) return fail_with(EEXIST);
  if (dirs_.count(parent_of(path)) == 0) return fail_with(ENOENT);
  dirs_[path] = true;
  return 0;
}

int MemFs::rename(const char* from, const char* to) {
  auto it = files_.find(from);
  if (it == files_.end()) return fail_with(dirs_.count(from) != 0 ? EISDIR : ENOENT);
  if (dirs_.count(to) != 0) return fail_with(EISDIR);
  if (dirs_.count(parent_of(to)) == 0) return fail_with(ENOENT);
  auto contents = std::move(it->second);
  files_.erase(it);
  files_[to] = std::move(contents);
  return 0;
}

int MemFs::unlink(const char* path) {
  if (dirs_.count(path) != 0) return fail_with(EISDIR);
  return files_.erase(path) == 1 ? 0 : fail_with(ENOENT);
}

int MemFs::flock(int fd, int) { return fds_.count(fd) != 0 ? 0 : fail_with(EBADF); }

int MemFs::list_dir(const char* path, std::vector<std::string>* names) {
  const std::string dir(path);
  if (dirs_.count(dir) == 0) return fail_with(files_.count(dir) != 0 ? ENOTDIR : ENOENT);
  names->clear();
  for (const auto& [p, contents] : files_) {
    if (parent_of(p) == dir) names->push_back(p.substr(dir.size() + (dir == "/" ? 0 : 1)));
  }
  return 0;
}

// ---------------------------------------------------------------------------

const KeyHandle& fuzz_key() {
  static const KeyHandle key = [] {
    std::array<std::uint8_t, 32> bytes;
    bytes.fill(0x42);
    return make_in_memory_key(bytes);
  }();
  return key;
}

namespace {

void put_head(Bytes& out, std::uint8_t major, std::uint64_t arg) {
  const auto initial = static_cast<std::uint8_t>(major << 5);
  int width = 0;
  if (arg < 24) {
    out.push_back(static_cast<std::uint8_t>(initial | arg));
    return;
  }
  if (arg <= 0xFF) {
    out.push_back(initial | 24);
    width = 1;
  } else if (arg <= 0xFFFF) {
    out.push_back(initial | 25);
    width = 2;
  } else if (arg <= 0xFFFFFFFFu) {
    out.push_back(initial | 26);
    width = 4;
  } else {
    out.push_back(initial | 27);
    width = 8;
  }
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(arg >> (8 * i)));
}

void encode_into(Bytes& out, const CborValue& value) {
  switch (value.kind()) {
    case CborKind::kUint: put_head(out, 0, *value.as_uint()); return;
    case CborKind::kNint: put_head(out, 1, ~static_cast<std::uint64_t>(*value.as_nint())); return;
    case CborKind::kBytes:
      put_head(out, 2, value.as_bytes()->size());
      out.insert(out.end(), value.as_bytes()->begin(), value.as_bytes()->end());
      return;
    case CborKind::kText:
      put_head(out, 3, value.as_text()->size());
      out.insert(out.end(), value.as_text()->begin(), value.as_text()->end());
      return;
    case CborKind::kArray:
      put_head(out, 4, value.as_array()->size());
      for (const CborValue& item : *value.as_array()) encode_into(out, item);
      return;
    case CborKind::kMap: {
      std::vector<std::pair<Bytes, Bytes>> pairs;
      for (const auto& [k, v] : *value.as_map()) pairs.emplace_back(encode_cbor(k), encode_cbor(v));
      std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        return a.first.size() != b.first.size() ? a.first.size() < b.first.size() : a.first < b.first;
      });
      put_head(out, 5, pairs.size());
      for (const auto& [k, v] : pairs) {
        out.insert(out.end(), k.begin(), k.end());
        out.insert(out.end(), v.begin(), v.end());
      }
      return;
    }
    case CborKind::kBool: out.push_back(*value.as_bool() ? 0xF5 : 0xF4); return;
  }
}

// Offset of prev_hash's 32 bytes in a record of the writer's shape
// (map of ten, key 1 with a Uint, key 2 with a 32-byte string), if it has it.
std::optional<std::size_t> prev_hash_at(ByteView record) {
  if (record.size() < 3 || record[0] != kRecordMapHead || record[1] != 0x01 || (record[2] >> 5) != 0) {
    return std::nullopt;
  }
  const std::uint8_t info = record[2] & 31;
  if (info > 27) return std::nullopt;
  const std::size_t p = 3 + (info < 24 ? 0 : std::size_t{1} << (info - 24));
  if (record.size() < p + 3 + kMacLen || record[p] != 0x02 || record[p + 1] != 0x58 || record[p + 2] != 0x20) {
    return std::nullopt;
  }
  return p + 3;
}

}  // namespace

Bytes encode_cbor(const CborValue& value) {
  Bytes out;
  encode_into(out, value);
  return out;
}

void grow(Bytes& segment, std::uint8_t size_byte, std::uint8_t cut_byte) {
  if (size_byte == 0 || segment.size() <= kHeaderLen) return;
  // Just past the first window's edge, wherever the frames put it.
  constexpr std::size_t kWindow = std::size_t{1} << 20;
  const std::size_t target = kWindow + std::size_t{size_byte} * 512;
  const std::size_t body = segment.size() - kHeaderLen;
  if (kHeaderLen + body * kMaxRepeats < target) return;
  const Bytes unit(segment.begin() + kHeaderLen, segment.end());
  segment.reserve(target + body);
  while (segment.size() < target) segment.insert(segment.end(), unit.begin(), unit.end());
  segment.resize(segment.size() - std::min<std::size_t>(cut_byte, segment.size() - kHeaderLen));
}

std::map<std::uint16_t, Bytes> log_from_input(Input& in, std::uint8_t flags, bool large) {
  const auto first_index = static_cast<std::uint16_t>((flags >> 1) & 1);
  const auto second_index = static_cast<std::uint16_t>(first_index + 1 + ((flags >> 2) & 1));
  const auto seal = static_cast<std::uint8_t>(flags >> 4);
  const std::uint8_t size_byte = in.byte();
  const std::uint8_t cut_byte = in.byte();
  Bytes first = in.take(in.u16());
  Bytes second = in.rest();
  if (large) grow(second.empty() ? first : second, size_byte, cut_byte);

  std::map<std::uint16_t, Bytes> log;
  const Mac head = reseal(first, first_index, seal);
  log[first_index] = std::move(first);
  if (!second.empty()) {
    if ((flags & 8) != 0 && second.size() >= kHeaderLen) {
      std::copy(head.begin(), head.end(), second.begin() + kHeaderPrevFinalOffset);
    }
    reseal(second, second_index, seal);
    log[second_index] = std::move(second);
  }
  return log;
}

std::optional<Frame> frame_at(ByteView segment, std::uint64_t offset) {
  if (offset > segment.size() || segment.size() - offset < kFrameLenField) return std::nullopt;
  const std::uint32_t len = load_u32le(segment.data() + offset);
  if (segment.size() - offset < std::uint64_t{len} + kFrameOverhead) return std::nullopt;
  const std::uint8_t* record = segment.data() + offset + kFrameLenField;
  if (load_u32le(record + len + kMacLen) != len) return std::nullopt;
  Frame f;
  f.offset = offset;
  f.record = ByteView(record, len);
  std::copy_n(record + len, kMacLen, f.mac.begin());
  return f;
}

bool intact_frame_after(ByteView segment, std::uint64_t offset) {
  for (std::uint64_t q = offset + 1; q + kFrameOverhead <= segment.size(); ++q) {
    if (segment[q + kFrameLenField] != kRecordMapHead) continue;
    const auto f = frame_at(segment, q);
    if (f && ct_equal(fuzz_key()->mac(f->record), f->mac)) return true;
  }
  return false;
}

bool all_zero(ByteView bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

Mac chain_start(ByteView segment, std::uint16_t index) {
  if (index == 0) return fuzz_key()->mac(segment.first(kHeaderSignedLen));
  Mac m;
  std::copy_n(segment.data() + kHeaderPrevFinalOffset, kMacLen, m.begin());
  return m;
}

Mac reseal(Bytes& segment, std::uint16_t index, std::uint8_t flags) {
  if (segment.size() < kHeaderLen) return Mac{};
  if ((flags & kFixKeyId) != 0) {
    const KeyId& id = fuzz_key()->key_id();
    std::copy(id.begin(), id.end(), segment.begin() + kHeaderKeyIdOffset);
  }
  if ((flags & kFixCrc) != 0) {
    store_u32le(segment.data() + kHeaderCrcOffset, crc32(ByteView(segment.data(), kHeaderSignedLen)));
  }
  Mac head = chain_start(segment, index);
  std::uint64_t offset = kHeaderLen;
  while (auto frame = frame_at(segment, offset)) {
    const std::size_t record_at = offset + kFrameLenField;
    const std::size_t len = frame->record.size();
    if ((flags & kFixChain) != 0) {
      if (auto at = prev_hash_at(frame->record)) std::copy(head.begin(), head.end(), segment.begin() + record_at + *at);
    }
    if ((flags & kFixMacs) != 0) {
      const Mac mac = fuzz_key()->mac(ByteView(segment.data() + record_at, len));
      std::copy(mac.begin(), mac.end(), segment.begin() + record_at + len);
    }
    std::copy_n(segment.begin() + record_at + len, kMacLen, head.begin());
    offset += len + kFrameOverhead;
  }
  return head;
}

const CborValue* value_at(const CborMap& map, std::uint64_t key) {
  for (const auto& [k, v] : map) {
    if (k.as_uint() != nullptr && *k.as_uint() == key) return &v;
  }
  return nullptr;
}

std::expected<detail::RecordFields, std::string> verifier_fields(const CborValue& value) {
  const CborMap* map = value.as_map();
  if (map == nullptr) return std::unexpected("record payload is not a CBOR map");
  if (map->size() != 10) {
    return std::unexpected("record map has " + std::to_string(map->size()) + " entries (expected 10)");
  }
  for (const auto& pair : *map) {
    if (pair.first.as_uint() == nullptr) return std::unexpected("record map key not a uint");
  }
  detail::RecordFields f;
  if (const CborValue* v = value_at(*map, 1); v != nullptr && v->as_uint() != nullptr) f.record_id = *v->as_uint();
  f.prev_hash = fixed_or_zero<32>(value_at(*map, 2));
  if (const CborValue* v = value_at(*map, 3); v != nullptr && v->as_text() != nullptr) f.ts_wall = *v->as_text();
  f.session_id = fixed_or_zero<16>(value_at(*map, 5));
  f.key_id = fixed_or_zero<32>(value_at(*map, 9));
  return f;
}

std::string log_path(std::uint16_t index) { return segment_path(kLogDir, index); }

}  // namespace corvane::fuzz
