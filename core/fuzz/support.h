// Shared pieces of the fuzz targets: a file system held in memory behind the
// core's I/O seam (no disk I/O per input), the key the seed segments were
// written with, a canonical encoder for decoded values, and fix-ups that let
// a mutated segment pass its CRC and MAC checks so that the fuzzer reaches
// the code behind them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/format.h"
#include "corvane/io.h"
#include "corvane/key.h"
#include "verifier/record_fields.h"

namespace corvane::fuzz {

// A broken property is a finding: report it and stop, so that libFuzzer
// saves the input and the replay test fails.
[[noreturn]] void fail(const char* file, int line, const char* what, const std::string& detail = {});

#define FUZZ_CHECK(cond) ((cond) ? void() : ::corvane::fuzz::fail(__FILE__, __LINE__, #cond))
#define FUZZ_CHECK_MSG(cond, detail) ((cond) ? void() : ::corvane::fuzz::fail(__FILE__, __LINE__, #cond, (detail)))

// Reads fuzz input front to back; past the end it yields zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
  std::uint8_t byte();
  std::uint16_t u16();
  // Up to `n` bytes, fewer at the end of the input.
  Bytes take(std::size_t n);
  Bytes rest() { return take(left_); }

 private:
  const std::uint8_t* p_;
  std::size_t left_;
};

// Files and directories in memory. Installed as the core's file system for
// its lifetime; the real one is restored on destruction.
class MemFs final : public FileSystem {
 public:
  MemFs();
  ~MemFs() override;
  MemFs(const MemFs&) = delete;
  MemFs& operator=(const MemFs&) = delete;

  void add_dir(const std::string& path) { dirs_.insert({path, true}); }
  void put(const std::string& path, Bytes contents) {
    files_[path] = std::make_shared<Bytes>(std::move(contents));
  }
  const Bytes* get(const std::string& path) const;
  // Descriptors still open: every operation must close what it opens.
  std::size_t open_count() const { return fds_.size(); }

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
  // Descriptors hold the contents, not the name: renaming or removing a
  // file leaves what is open on it in place, as on a real file system.
  struct Open {
    std::shared_ptr<Bytes> file;  // null for a directory
    bool writable = false;
  };
  Bytes* file_of(int fd, bool for_write);

  std::map<std::string, std::shared_ptr<Bytes>> files_;
  std::map<std::string, bool> dirs_;
  std::map<int, Open> fds_;
  int next_fd_ = 3;
};

// Where the targets put segment files.
inline constexpr const char* kLogDir = "/log";

// The key every seed was written with: 32 bytes of 0x42.
const KeyHandle& fuzz_key();

// The canonical encoding of a decoded value, map pairs sorted by their
// encoded keys (shorter first, then bytewise). Written apart from the
// core's encoder so that each checks the other.
Bytes encode_cbor(const CborValue& value);

// Fix-ups applied before a target runs, chosen by bits of the input so that
// mutations are not all stopped at the first CRC or MAC check.
enum Reseal : std::uint8_t {
  kFixCrc = 1,       // recompute the header CRC
  kFixKeyId = 2,     // put the fuzz key's key_id into the header
  kFixMacs = 4,      // recompute the MAC of every frame that frames
  kFixChain = 8,     // point each record's prev_hash at the chain head
};

// Applies `flags` to segment `index` held in `segment` (header fixes only
// when it holds a whole header). Returns the chain head after the last frame
// that frames, walking from the first.
Mac reseal(Bytes& segment, std::uint16_t index, std::uint8_t flags);

// Repeats everything after the header of `segment` until the segment is
// just over 1 MiB (by `size_byte` * 512 bytes), then drops `cut_byte` bytes
// from its end, so that walks cross the edge of the 1 MiB windows through
// which the reader and recovery read. Leaves the segment as it is when
// `size_byte` is zero or when that would take more than kMaxRepeats copies:
// thousands of small frames would cost too much per run. Even so a grown
// segment costs a hundred times a small one, so only the *_large targets
// grow segments (targets.h), and the others keep their speed.
inline constexpr std::size_t kMaxRepeats = 300;
void grow(Bytes& segment, std::uint8_t size_byte, std::uint8_t cut_byte);

// A log of one or two segments read from fuzz input, by index, after a
// flags byte already read: bits 1..2 pick the two indices (0 and 1, 1 and 2,
// 0 and 2, 1 and 3), bit 3 chains the second to the first (its prev_final
// set to the first's head), bits 4..7 are Reseal flags for both. Then two
// bytes for grow() on the last segment (applied when `large`), a u16
// length, the first segment's bytes, and the second's (none: a log of one
// segment).
std::map<std::uint16_t, Bytes> log_from_input(Input& in, std::uint8_t flags, bool large);

// One frame that frames: length fields agree and it fits the file.
struct Frame {
  std::uint64_t offset = 0;
  ByteView record;
  Mac mac{};
  std::uint64_t end() const { return offset + record.size() + kFrameOverhead; }
};
// The frame at `offset` of `segment`, or nullopt when none frames there.
std::optional<Frame> frame_at(ByteView segment, std::uint64_t offset);

// Whether a frame that a writer could have written (a record map head, the
// MAC verifying under the fuzz key) starts anywhere after `offset`. Here
// rather than in a target: it looks at every byte, and tracing those
// comparisons would slow the fuzzer to a crawl on large segments.
bool intact_frame_after(ByteView segment, std::uint64_t offset);
bool all_zero(ByteView bytes);

// The chain value a segment's first record must carry: the genesis MAC for
// segment 0, the header's prev_final otherwise. Needs the 80 header bytes.
Mac chain_start(ByteView segment, std::uint16_t index);

// The value under unsigned key `key` of a decoded map, or null.
const CborValue* value_at(const CborMap& map, std::uint64_t key);

// The bytes of a byte string of exactly N bytes; zeros for anything else.
template <std::size_t N>
std::array<std::uint8_t, N> fixed_or_zero(const CborValue* v) {
  std::array<std::uint8_t, N> out{};
  if (v != nullptr && v->as_bytes() != nullptr && v->as_bytes()->size() == N) {
    std::copy(v->as_bytes()->begin(), v->as_bytes()->end(), out.begin());
  }
  return out;
}

// The verifier's lenient reading of a record, from the decoded item: a map
// of ten entries under unsigned keys, fields of another type or length
// read as their defaults. ts_wall points into `value`.
std::expected<detail::RecordFields, std::string> verifier_fields(const CborValue& value);

// The file name of segment `index` under kLogDir.
std::string log_path(std::uint16_t index);

}  // namespace corvane::fuzz
