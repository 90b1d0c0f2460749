// Shared pieces of the fuzz targets: the key the seeds were written with, a
// log directory on the real file system, fix-ups that let a mutated segment
// past its CRC and MAC checks, and plain walks of segment bytes that the
// targets hold the core's answers against.
//
// Each target is one source file defining LLVMFuzzerTestOneInput; linked with
// replay_main.cc instead of libFuzzer it replays its committed corpus as a
// test. X_large is X.cc built with CORVANE_FUZZ_LARGE: the same input, the
// last segment grown past the readers' 1 MiB window. Inputs:
//   cbor_decode, record_decode  the bytes of one item / record
//   segment_header              u16 expected index, then a segment file
//   the rest                    a log (log_case); flags bit 0 is the
//                               target's own (forensic first, rotate often)
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <source_location>
#include <string>

#include "corvane/cbor.h"
#include "corvane/format.h"
#include "corvane/key.h"
#include "corvane/reader.h"
#include "corvane/writer.h"
#include "format/segment_file.h"
#include "verifier/record_fields.h"

#ifdef CORVANE_FUZZ_LARGE
inline constexpr bool kLargeSegments = true;
#else
inline constexpr bool kLargeSegments = false;
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace corvane::fuzz {

// A broken property aborts, so that libFuzzer keeps the input and the replay fails.
[[noreturn]] void fail(const char* file, int line, const char* what, const std::string& detail = {});

#define FUZZ_CHECK_MSG(cond, detail) ((cond) ? void() : ::corvane::fuzz::fail(__FILE__, __LINE__, #cond, (detail)))
#define FUZZ_CHECK(cond) FUZZ_CHECK_MSG(cond, std::string())
// The value of an expected result, or a finding with its error.
template <class E>
auto ok(E&& e, std::source_location at = std::source_location::current()) {
  if (!e) fail(at.file_name(), static_cast<int>(at.line()), "has_value()", e.error().to_string());
  if constexpr (!std::is_void_v<typename std::remove_cvref_t<E>::value_type>) return std::move(*e);
}
// Two results agree: both values, equal by `eq`, or equal errors.
template <class A, class B, class Eq>
void agree(const A& a, const B& b, Eq eq, std::source_location at = std::source_location::current()) {
  if (a.has_value() != b.has_value() || (a ? !eq(*a, *b) : !(a.error() == b.error())))
    fail(at.file_name(), static_cast<int>(at.line()), "the two results agree");
}

// 32 bytes of 0x42.
const KeyHandle& key();

using Log = std::map<std::uint16_t, Bytes>;
// The log directory, on tmpfs where there is one: emptied, then holding `log`.
const std::string& put_log(const Log& log);
std::optional<Bytes> read_segment(std::uint16_t index);
// Descriptors open in this process: whatever the core opens it must close.
int open_fds();

// Fix-ups chosen by bits of the input, so mutations are not all stopped at
// the first CRC or MAC check.
enum Reseal : std::uint8_t { kFixCrc = 1, kFixKeyId = 2, kFixMacs = 4, kFixChain = 8 };

// A log from fuzz input, written out: a flags byte (bits 1..2: indices 0+1,
// 1+2, 0+2 or 1+3; bit 3: the second's prev_final is the first's head; bits
// 4..7: Reseal for both), two bytes for growing the last segment (when
// `large`: just past 1 MiB by size*512 bytes, then cut bytes off its end), a
// u16 length, the first segment, the second (none: a log of one).
// fds: descriptors open before the core ran.
struct LogCase { std::uint8_t flags; Log log; std::string dir; int fds; };
LogCase log_case(const std::uint8_t* data, std::size_t size, bool large = kLargeSegments);
// `rotate`: segments of 1 byte, which rotate before every record but a segment's first.
inline auto open_writer(const std::string& dir, bool rotate) {
  return Writer::open(dir, key(), SessionId{0x11, 0x22}, rotate ? std::optional<std::uint64_t>(1) : std::nullopt);
}

struct Frame {
  std::uint64_t offset = 0;
  ByteView record;
  Mac mac{};
  std::uint64_t end() const { return offset + record.size() + kFrameOverhead; }
  bool verifies() const;
};
// The frame at `offset` when its length is at most MAX_RECORD_LEN, its
// length fields agree and it fits the file.
std::optional<Frame> frame_at(ByteView segment, std::uint64_t offset);
// Whether recovery must refuse to cut at `offset`: a search in offset order
// meets an intact frame, or a candidate whose MAC would take the record
// bytes MACed past `budget`, before its end.
bool search_refuses(ByteView segment, std::uint64_t offset, std::uint64_t budget);
// Whether a frame a writer could have written starts anywhere after `offset`:
// with no budget to run out, a search meets an intact frame or nothing (an
// empty record's MAC under this key does not start with a map head).
inline bool intact_frame_after(ByteView s, std::uint64_t offset) { return search_refuses(s, offset, UINT64_MAX); }
// What the first record must carry: genesis MAC for segment 0, else prev_final.
Mac chain_start(ByteView segment, std::uint16_t index);

// A header's fields against what each check wants (all false when short).
struct Header {
  bool whole = false, magic = false, index_ok = false, key_ok = false, reserved_ok = false;
  std::uint16_t version = 0;
  std::uint32_t crc = 0, stored_crc = 0;
  bool version_ok() const { return whole && version == kFormatVersion; }
  bool crc_ok() const { return whole && crc == stored_crc; }
};
Header header(ByteView segment, std::uint16_t index);

// Appends two records through `w`, closes it, and walks all it wrote from
// `offset` in segment `index` on, rotations included, chained from `head`;
// returns the head after it.
Mac append_two(Writer& w, std::uint16_t index, std::uint64_t offset, Mac head);

const CborValue* value_at(const CborMap& map, std::uint64_t key);
// A byte string of exactly N bytes; zeros for anything else.
template <std::size_t N>
std::array<std::uint8_t, N> fixed(const CborValue* v) {
  std::array<std::uint8_t, N> out{};
  if (auto b = v ? v->as_bytes() : nullptr; b && b->size() == N) std::ranges::copy(*b, out.begin());
  return out;
}
// The verifier's lenient reading of a record from the decoded item.
std::expected<detail::RecordFields, std::string> verifier_fields(const CborValue& value);
bool same(const StoredRecord& a, const StoredRecord& b);

}  // namespace corvane::fuzz
