#include "format/segment_file.h"
#include "support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "corvane/segment.h"

namespace corvane::fuzz {

namespace stdfs = std::filesystem;

void fail(const char* file, int line, const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n  %s\n", file, line, what, detail.c_str());
  std::abort();
}

const KeyHandle& key() {
  static const KeyHandle k = make_in_memory_key(std::span<const std::uint8_t, 32>(Bytes(32, 0x42).data(), 32));
  return k;
}

static const std::string log_dir = [] {
  const stdfs::path base = stdfs::is_directory("/dev/shm") ? "/dev/shm" : stdfs::temp_directory_path();
  // libFuzzer leaves through _Exit, past any exit handler: clear what ended runs left.
  for (const auto& entry : stdfs::directory_iterator(base)) {
    const std::string name = entry.path().filename();
    if (name.starts_with("corvane-fuzz-") && !stdfs::exists("/proc/" + name.substr(13))) stdfs::remove_all(entry.path());
  }
  return (base / ("corvane-fuzz-" + std::to_string(getpid()))).string();
}();

const std::string& put_log(const Log& log) {
  stdfs::remove_all(log_dir);
  stdfs::create_directories(log_dir);
  for (const auto& [index, seg] : log)
    std::ofstream(segment_path(log_dir, index), std::ios::binary)
        .write(reinterpret_cast<const char*>(seg.data()), static_cast<std::streamsize>(seg.size()));
  return log_dir;
}

std::optional<Bytes> read_segment(std::uint16_t index) {
  std::ifstream f(segment_path(log_dir, index), std::ios::binary);
  return f ? std::optional(Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>())) : std::nullopt;
}

int open_fds() {
  return static_cast<int>(std::distance(stdfs::directory_iterator("/proc/self/fd"), stdfs::directory_iterator()));
}

namespace {

// Offset of prev_hash's 32 bytes in a record of the writer's shape (map of
// ten, key 1 with a uint, key 2 with a 32-byte string), if it has one.
std::optional<std::size_t> prev_hash_at(ByteView r) {
  if (r.size() < 3 || r[0] != kRecordMapHead || r[1] != 0x01 || (r[2] >> 5) != 0 || (r[2] & 31) > 27) return {};
  const std::size_t p = 3 + ((r[2] & 31) < 24 ? 0 : std::size_t{1} << ((r[2] & 31) - 24));
  if (r.size() < p + 3 + kMacLen || r[p] != 0x02 || r[p + 1] != 0x58 || r[p + 2] != 0x20) return {};
  return p + 3;
}

// Returns the chain head after the last frame that frames.
Mac reseal(Bytes& seg, std::uint16_t index, std::uint8_t flags) {
  if (seg.size() < kHeaderLen) return Mac{};
  if ((flags & kFixKeyId) != 0) std::ranges::copy(key()->key_id(), seg.begin() + kHeaderKeyIdOffset);
  if ((flags & kFixCrc) != 0) store_u32le(&seg[kHeaderCrcOffset], crc32(ByteView(seg).first(kHeaderSignedLen)));
  Mac head = chain_start(seg, index);
  for (auto f = frame_at(seg, kHeaderLen); f; f = frame_at(seg, f->end())) {
    const auto at = seg.begin() + static_cast<std::ptrdiff_t>(f->offset + kFrameLenField);
    const auto prev = prev_hash_at(f->record);
    if ((flags & kFixChain) != 0 && prev) std::ranges::copy(head, at + static_cast<std::ptrdiff_t>(*prev));
    if ((flags & kFixMacs) != 0) std::ranges::copy(key()->mac(f->record), at + f->record.size());
    std::copy_n(at + f->record.size(), kMacLen, head.begin());
  }
  return head;
}

}  // namespace

LogCase log_case(const std::uint8_t* data, std::size_t size, bool large) {
  const auto at = [&](std::size_t i) -> std::size_t { return i < size ? data[i] : 0; };
  const auto flags = static_cast<std::uint8_t>(at(0));
  const std::size_t size_byte = at(1), cut_byte = at(2), split = std::min(size, 5 + (at(3) | at(4) << 8));
  Bytes first(data + std::min<std::size_t>(size, 5), data + split), second(data + split, data + size);
  Bytes& last = second.empty() ? first : second;
  // Repeats the body; more than 300 copies of small frames would cost too much.
  const std::size_t target = (std::size_t{1} << 20) + size_byte * 512, body = last.size() - kHeaderLen;
  if (large && size_byte != 0 && last.size() > kHeaderLen && kHeaderLen + body * 300 >= target) {
    const Bytes unit(last.begin() + kHeaderLen, last.end());
    while (last.size() < target) last.insert(last.end(), unit.begin(), unit.end());
    last.resize(last.size() - std::min(cut_byte, last.size() - kHeaderLen));
  }
  Log log;
  const auto first_index = static_cast<std::uint16_t>((flags >> 1) & 1);
  const Mac head = reseal(first, first_index, flags >> 4);
  log[first_index] = std::move(first);
  if (!second.empty()) {
    if ((flags & 8) != 0 && second.size() >= kHeaderLen) std::ranges::copy(head, second.begin() + kHeaderPrevFinalOffset);
    const auto second_index = static_cast<std::uint16_t>(first_index + 1 + ((flags >> 2) & 1));
    reseal(second, second_index, flags >> 4);
    log[second_index] = std::move(second);
  }
  // Counted once the segments are written and their files closed.
  return {flags, log, put_log(log), open_fds()};
}

bool Frame::verifies() const { return ct_equal(key()->mac(record), mac); }

std::optional<Frame> frame_at(ByteView seg, std::uint64_t offset) {
  if (offset > seg.size() || seg.size() - offset < kFrameLenField) return std::nullopt;
  const std::uint32_t len = load_u32le(seg.data() + offset);
  if (len > MAX_RECORD_LEN || seg.size() - offset < std::uint64_t{len} + kFrameOverhead) return std::nullopt;
  const std::uint8_t* record = seg.data() + offset + kFrameLenField;
  if (load_u32le(record + len + kMacLen) != len) return std::nullopt;
  Frame f{offset, ByteView(record, len)};
  std::copy_n(record + len, kMacLen, f.mac.begin());
  return f;
}

// Here rather than in a target: tracing these comparisons would slow the
// fuzzer to a crawl on large segments.
bool search_refuses(ByteView seg, std::uint64_t offset, std::uint64_t budget) {
  for (std::uint64_t q = offset + 1; q + kFrameOverhead <= seg.size(); ++q) {
    if (seg[q + kFrameLenField] != kRecordMapHead) continue;
    const auto f = frame_at(seg, q);
    if (!f || f->record.empty()) continue;
    if (f->record.size() > budget) return true;
    budget -= f->record.size();
    if (f->verifies()) return true;
  }
  return false;
}

Mac chain_start(ByteView seg, std::uint16_t index) {
  Mac m;
  return index == 0 ? key()->mac(seg.first(kHeaderSignedLen)) : (std::copy_n(&seg[kHeaderPrevFinalOffset], kMacLen, m.begin()), m);
}

Header header(ByteView s, std::uint16_t index) {
  if (s.size() < kHeaderLen) return {};
  const std::uint8_t* p = s.data();
  return {true, std::ranges::equal(kMagic, s.first(4)), load_u16le(p + kHeaderIndexOffset) == index,
          std::ranges::equal(key()->key_id(), s.subspan(kHeaderKeyIdOffset, sizeof(KeyId))),
          load_u32le(p + kHeaderReservedOffset) == 0, load_u16le(p + kHeaderVersionOffset),
          crc32(s.first(kHeaderSignedLen)), load_u32le(p + kHeaderCrcOffset)};
}

Mac append_two(Writer& w, std::uint16_t index, std::uint64_t offset, Mac head) {
  // The latest time a ts_wall can name: never refused as a step back from
  // whatever the hostile log's last record says.
  const AppendRecord r{"9999-99-99T99:99:99.999Z", "fuzz", "fuzz.append", 0, {}, 1};
  for (int i = 0; i < 2; ++i) ok(w.append(r));
  ok(w.flush());
  w.close();
  // Each segment begun since starts from the head before it.
  std::uint64_t frames = 0;
  for (auto i = index; auto seg = read_segment(i); ++i, offset = kHeaderLen) {
    if (offset == kHeaderLen) FUZZ_CHECK(seg->size() >= kHeaderLen && chain_start(*seg, i) == head);
    // Each frame verifies, is one the reader accepts, and chains on.
    for (; offset < seg->size(); ++frames) {
      const auto f = frame_at(*seg, offset);
      FUZZ_CHECK(f && f->verifies() && ok(decode_stored_record(ok(decode_canonical(f->record)), i, offset, f->record, f->mac)).prev_hash == head);
      head = f->mac;
      offset = f->end();
    }
  }
  // Two records, and a finalization record for every rotation.
  FUZZ_CHECK(frames >= 2);
  return head;
}

const CborValue* value_at(const CborMap& map, std::uint64_t k) {
  const auto it = std::ranges::find_if(map, [&](const auto& p) { return p.first.as_uint() && *p.first.as_uint() == k; });
  return it == map.end() ? nullptr : &it->second;
}

std::expected<detail::RecordFields, std::string> verifier_fields(const CborValue& value) {
  const CborMap* map = value.as_map();
  if (map == nullptr) return std::unexpected("record payload is not a CBOR map");
  if (map->size() != 10) return std::unexpected("record map has " + std::to_string(map->size()) + " entries (expected 10)");
  if (std::ranges::any_of(*map, [](const auto& p) { return !p.first.as_uint(); }))
    return std::unexpected("record map key not a uint");
  const CborValue *id = value_at(*map, 1), *ts = value_at(*map, 3);
  return detail::RecordFields{id && id->as_uint() ? *id->as_uint() : 0, fixed<32>(value_at(*map, 2)),
                              ts && ts->as_text() ? std::string_view(*ts->as_text()) : std::string_view(),
                              fixed<16>(value_at(*map, 5)), fixed<32>(value_at(*map, 9))};
}

bool same(const StoredRecord& a, const StoredRecord& b) {
  const auto tie = [](const StoredRecord& r) {
    return std::tie(r.segment_index, r.byte_offset, r.record_id, r.prev_hash, r.ts_wall, r.ts_mono_delta, r.session_id,
                    r.actor, r.event, r.payload, r.key_id, r.schema_version, r.hmac, r.raw);
  };
  return tie(a) == tie(b);
}

}  // namespace corvane::fuzz
