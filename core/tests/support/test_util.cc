#include "support/test_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace corvane::testing {

namespace stdfs = std::filesystem;

TempDir::TempDir() : path_((stdfs::temp_directory_path() / "corvane-test-XXXXXX").string()) {
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}
TempDir::~TempDir() { std::error_code ec; stdfs::remove_all(path_, ec); }

Bytes read_file(const std::string& path) {
  // One read of the whole file: byte-wise stream iteration takes seconds on
  // the large segments some tests write.
  Bytes data(file_len(path));  // throws when there is no such file
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
    throw std::runtime_error("cannot read " + path);
  return data;
}

static void put(const std::string& path, const Bytes& data, std::ios::openmode mode) {
  std::ofstream out(path, std::ios::binary | mode);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const Bytes& data) { put(path, data, std::ios::trunc); }
void append_bytes(const std::string& path, const Bytes& data) { put(path, data, std::ios::app); }
std::uint64_t file_len(const std::string& path) { return stdfs::file_size(path); }
void truncate_to(const std::string& path, std::uint64_t len) { stdfs::resize_file(path, len); }

void flip_byte(const std::string& path, std::uint64_t offset, std::uint8_t mask) {
  Bytes data = read_file(path);
  data.at(offset) ^= mask;
  write_file(path, data);
}

void copy_dir(const std::string& from, const std::string& to) {
  stdfs::create_directories(to);
  stdfs::copy(from, to, stdfs::copy_options::recursive | stdfs::copy_options::overwrite_existing);
}

template <class T>
static T filled(std::uint8_t fill) {
  T out;
  out.fill(fill);
  return out;
}
KeyHandle test_key(std::uint8_t fill) { return make_in_memory_key(filled<std::array<std::uint8_t, 32>>(fill)); }
SessionId test_session(std::uint8_t fill) { return filled<SessionId>(fill); }

std::vector<RawFrame> raw_frames(const std::string& segment_path) {
  const Bytes data = read_file(segment_path);
  std::vector<RawFrame> frames;
  for (std::uint64_t o = kHeaderLen, len; o + 4 <= data.size(); o += len + kFrameOverhead) {
    len = load_u32le(&data[o]);
    if (data.size() - o < len + kFrameOverhead || load_u32le(&data[o + 4 + len + kMacLen]) != len) break;
    RawFrame& f = frames.emplace_back(o, Bytes(&data[o + 4], &data[o + 4] + len));
    std::copy_n(&data[o + 4 + len], kMacLen, f.mac.begin());
  }
  return frames;
}

Bytes make_frame(const Bytes& record, const Key& key) {
  const Mac mac = key.mac(record);
  Bytes len(4), frame;
  store_u32le(len.data(), static_cast<std::uint32_t>(record.size()));
  for (ByteView part : {ByteView(len), ByteView(record), ByteView(mac), ByteView(len)}) append_raw(frame, part.data(), part.size());
  return frame;
}

}  // namespace corvane::testing
