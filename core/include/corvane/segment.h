// Segment files as callers of the core see them: their names, the listing
// of a log directory, and the facts a segment's header states. Creating
// segments and parsing their headers is the core's own business
// (format/segment_file.h).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/errors.h"
#include "corvane/format.h"
#include "corvane/io.h"

namespace corvane {

using HeaderBytes = std::array<std::uint8_t, kHeaderLen>;

// "audit-0005.cbor"; five digits from index 10000 on.
std::string segment_file_name(std::uint16_t index);
std::string segment_path(std::string_view dir, std::uint16_t index);

// The index named by a directory entry, or nullopt for any other name. Only
// the exact name segment_file_name gives is recognised: four digits for
// 0..9999, five for 10000..65535. So each index has one name, and a
// listing never holds an index twice.
std::optional<std::uint16_t> parse_segment_file_name(std::string_view name);

enum class MissingDirectory : std::uint8_t { kIsEmpty, kIsError };

// Ascending indices of the segment files in `dir`, each once. Only names
// are looked at. The writer treats a missing directory as empty; the reader
// and verifier treat it as an error.
[[nodiscard]] std::expected<std::vector<std::uint16_t>, IoError> list_segments(
    const std::string& dir, MissingDirectory missing = MissingDirectory::kIsError);
// The same for a directory already open.
[[nodiscard]] std::expected<std::vector<std::uint16_t>, IoError> list_segments(const File& dir);
// The indices of the segment names among `names`, ascending, each once.
std::vector<std::uint16_t> segment_indices(const std::vector<std::string>& names);

struct HeaderFacts {
  std::uint16_t segment = 0;
  KeyId key_id{};
  Mac prev_final{};
  std::array<std::uint8_t, 4> reserved{};
};

}  // namespace corvane
