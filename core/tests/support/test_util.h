// Small helpers shared by the core's tests: temporary directories, whole-file
// access, byte damage, raw frame walking and fixed keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/format.h"
#include "corvane/key.h"

namespace corvane::testing {

// A fresh directory removed (recursively) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() joined with `name`.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
std::uint64_t file_len(const std::string& path);
void truncate_to(const std::string& path, std::uint64_t len);
void append_bytes(const std::string& path, const Bytes& data);
// XORs one byte of a file with `mask`.
void flip_byte(const std::string& path, std::uint64_t offset, std::uint8_t mask = 0x01);
void copy_dir(const std::string& from, const std::string& to);

// The key whose 32 bytes are all `fill`.
KeyHandle test_key(std::uint8_t fill = 0x42);
SessionId test_session(std::uint8_t fill = 0x11);

// A frame as found in a segment file, split without any checks beyond
// framing; stops at the first frame that does not frame correctly.
struct RawFrame {
  std::uint64_t offset = 0;
  Bytes record;
  Mac mac{};
  std::uint64_t end() const { return offset + record.size() + kFrameOverhead; }
};
std::vector<RawFrame> raw_frames(const std::string& segment_path);

// Frames `record` (length, bytes, MAC under `key`, length).
Bytes make_frame(const Bytes& record, const Key& key);

}  // namespace corvane::testing
