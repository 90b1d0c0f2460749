// Segment files as the core makes and checks them: the 80-byte header (its
// one parse, and the reader's and recovery's checks that word its defects),
// creation without a half-made segment ever showing, and the chain's first
// value.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/errors.h"
#include "corvane/io.h"
#include "corvane/key.h"
#include "corvane/segment.h"

namespace corvane {

HeaderBytes build_header(const KeyId& key_id, const Mac& prev_final, std::uint16_t index);

// Permission bits segment files are created with (before the umask):
// records are nobody else's to write, nor to read beyond the group.
constexpr mode_t kSegmentFileMode = 0640;

// "audit-0005.cbor.tmp": where create_segment builds a segment before
// renaming it into place; never a segment name.
std::string segment_temp_file_name(std::uint16_t index);
// Whether a directory entry is exactly such a temporary file's name.
bool is_segment_temp_file_name(std::string_view name);

// Why create_segment failed. With `sync_failed` a sync failed, so what the
// disk holds of the new file or the directory is in doubt.
struct CreateSegmentError {
  IoError io;
  bool sync_failed = false;
};

// Creates segment `index` in the open directory `dir` so that a crash never
// leaves it half made: whatever holds the temporary name is removed (a link
// itself, never its target), the temporary file is created anew (never
// through a link), its header written and synced, it is renamed over the
// segment name (replacing any entry there that is not a directory), and the
// directory synced. The file is returned open for reading and writing. On
// failure nothing is left under the segment name that was not there before
// (except after a failed directory sync), and the temporary file may remain.
[[nodiscard]] std::expected<File, CreateSegmentError> create_segment(const File& dir, std::uint16_t index,
                                                                     const KeyId& key_id, const Mac& prev_final);
// The same in the directory at path `dir`.
[[nodiscard]] std::expected<File, CreateSegmentError> create_segment(const std::string& dir, std::uint16_t index,
                                                                     const KeyId& key_id, const Mac& prev_final);

// Why 80 bytes are not a header this format can read: the first failing
// check, in the order magic, version, index (only when one is expected),
// CRC. The stored values are all given; each caller words the defect itself.
struct HeaderDefect {
  enum class Kind : std::uint8_t { kBadMagic, kUnsupportedVersion, kIndexMismatch, kCrcMismatch };
  Kind kind = Kind::kBadMagic;
  std::array<std::uint8_t, 4> magic{};
  std::uint16_t version = 0;
  std::uint16_t index = 0;
  std::uint32_t stored_crc = 0;
  std::uint32_t computed_crc = 0;
};

// The one parse of a header. The key_id and the reserved bytes are facts
// here; whether they are acceptable is the caller's rule.
[[nodiscard]] std::expected<HeaderFacts, HeaderDefect> parse_header(
    const HeaderBytes& header, std::optional<std::uint16_t> expected_index = std::nullopt);

// The chain's first value in segment `index`, whose header is `header`: in
// segment 0 the MAC of the header's signed bytes, after it the header's
// prev_final. Decided by the index the caller names, never by the header.
[[nodiscard]] Mac chain_start(const Key& key, std::uint16_t index, const HeaderBytes& header);

// The reader's header check: magic, version, index against `expected_index`,
// CRC, in that order. Failures are ReaderError kInvalidSegmentHeader (or kIo).
[[nodiscard]] std::expected<HeaderFacts, ReaderError> check_segment_header(const File& file,
                                                                           std::uint16_t expected_index);

// The recovery's header check: length (from `file_len`), magic, version and
// CRC. Failures are RecoveryError kHeaderCorrupt for `segment`, or kIo.
[[nodiscard]] std::expected<HeaderBytes, WriterError> read_header_for_recovery(const File& file, std::uint64_t file_len,
                                                                               std::uint16_t segment);

}  // namespace corvane
