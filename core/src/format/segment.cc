#include "corvane/segment.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "corvane/key.h"
#include "format/segment_file.h"
#include "text.h"

namespace corvane {

using detail::cat;

std::string segment_file_name(std::uint16_t index) {
  std::string digits = cat(index);
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
  return "audit-" + digits + ".cbor";
}

std::string segment_path(std::string_view dir, std::uint16_t index) { return join_path(dir, segment_file_name(index)); }

std::optional<std::uint16_t> parse_segment_file_name(std::string_view name) {
  constexpr std::string_view kPrefix = "audit-";
  constexpr std::string_view kSuffix = ".cbor";
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  if (digits.size() != 4 && digits.size() != 5) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  // Any other spelling of an index (a sign, a five-digit name below 10000)
  // is not a name the writer gives, so no segment of the log can hold it.
  const bool five = value >= 10000;
  if (value > kMaxSegmentIndex || (digits.size() == 5) != five) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::vector<std::uint16_t> segment_indices(const std::vector<std::string>& names) {
  std::vector<std::uint16_t> indices;
  for (const auto& name : names) {
    if (auto index = parse_segment_file_name(name)) indices.push_back(*index);
  }
  std::sort(indices.begin(), indices.end());
  // Names are unique, and so are their indices; a listing read while the
  // directory changes is not held to that.
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  return indices;
}

std::expected<std::vector<std::uint16_t>, IoError> list_segments(const std::string& dir, MissingDirectory missing) {
  auto names = list_dir(dir);
  if (!names) {
    if (missing == MissingDirectory::kIsEmpty && names.error() == IoError::from_errno(ENOENT)) {
      return std::vector<std::uint16_t>{};
    }
    return std::unexpected(names.error());
  }
  return segment_indices(*names);
}

std::expected<std::vector<std::uint16_t>, IoError> list_segments(const File& dir) {
  auto names = list_dir(At::dir(dir), ".");
  if (!names) return std::unexpected(names.error());
  return segment_indices(*names);
}

HeaderBytes build_header(const KeyId& key_id, const Mac& prev_final, std::uint16_t index) {
  HeaderBytes h{};
  std::copy(kMagic.begin(), kMagic.end(), h.begin() + kHeaderMagicOffset);
  store_u16le(&h[kHeaderVersionOffset], kFormatVersion);
  store_u16le(&h[kHeaderIndexOffset], index);
  std::copy(key_id.begin(), key_id.end(), h.begin() + kHeaderKeyIdOffset);
  std::copy(prev_final.begin(), prev_final.end(), h.begin() + kHeaderPrevFinalOffset);
  store_u32le(&h[kHeaderCrcOffset], crc32(std::span(h.data(), kHeaderSignedLen)));
  return h;  // reserved bytes 76..79 stay zero
}

std::string segment_temp_file_name(std::uint16_t index) { return segment_file_name(index) + ".tmp"; }

bool is_segment_temp_file_name(std::string_view name) {
  constexpr std::string_view kTmp = ".tmp";
  return name.ends_with(kTmp) && parse_segment_file_name(name.substr(0, name.size() - kTmp.size()));
}

std::expected<File, CreateSegmentError> create_segment(const File& dir, std::uint16_t index, const KeyId& key_id,
                                                       const Mac& prev_final) {
  const auto failed = [](IoError e, bool sync = false) { return std::unexpected(CreateSegmentError{e, sync}); };
  const At at = At::dir(dir);
  // Written in place, a crash could leave a segment holding part of its
  // header (or a header the disk never got), which no open can tell from
  // damage. Under the temporary name it is ignored until it is whole.
  const std::string temp = segment_temp_file_name(index);
  // What holds the name now is a crash's leftover or planted: a link there
  // must not lead the header (and every record after it) into its target.
  if (auto r = remove_file(at, temp); !r && r.error() != IoError::from_errno(ENOENT)) return failed(r.error());
  auto file = open_file(at, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, kSegmentFileMode);
  if (!file) return failed(file.error());
  const HeaderBytes header = build_header(key_id, prev_final, index);
  if (auto w = write_all_at(*file, 0, header); !w) return failed(w.error());
  if (auto r = sync_file(*file); !r) return failed(r.error(), true);
  if (auto r = rename_file(at, temp, segment_file_name(index)); !r) return failed(r.error());
  if (auto r = sync_file(dir); !r) return failed(r.error(), true);
  return std::move(*file);
}

std::expected<File, CreateSegmentError> create_segment(const std::string& dir, std::uint16_t index, const KeyId& key_id,
                                                       const Mac& prev_final) {
  auto opened = open_file(dir, O_RDONLY | O_DIRECTORY);
  if (!opened) return std::unexpected(CreateSegmentError{opened.error(), false});
  return create_segment(*opened, index, key_id, prev_final);
}

std::expected<HeaderFacts, HeaderDefect> parse_header(const HeaderBytes& h,
                                                      std::optional<std::uint16_t> expected_index) {
  HeaderDefect d;
  std::copy_n(h.begin() + kHeaderMagicOffset, d.magic.size(), d.magic.begin());
  d.version = load_u16le(&h[kHeaderVersionOffset]);
  d.index = load_u16le(&h[kHeaderIndexOffset]);
  d.stored_crc = load_u32le(&h[kHeaderCrcOffset]);
  using Kind = HeaderDefect::Kind;
  const auto defect = [&d](Kind kind) {
    d.kind = kind;
    return std::unexpected(d);
  };
  if (d.magic != kMagic) return defect(Kind::kBadMagic);
  if (d.version != kFormatVersion) return defect(Kind::kUnsupportedVersion);
  if (expected_index && d.index != *expected_index) return defect(Kind::kIndexMismatch);
  d.computed_crc = crc32(std::span(h.data(), kHeaderSignedLen));
  if (d.stored_crc != d.computed_crc) return defect(Kind::kCrcMismatch);
  HeaderFacts facts;
  facts.segment = d.index;
  std::copy_n(&h[kHeaderKeyIdOffset], facts.key_id.size(), facts.key_id.begin());
  std::copy_n(&h[kHeaderPrevFinalOffset], facts.prev_final.size(), facts.prev_final.begin());
  std::copy_n(&h[kHeaderReservedOffset], facts.reserved.size(), facts.reserved.begin());
  return facts;
}

Mac chain_start(const Key& key, std::uint16_t index, const HeaderBytes& header) {
  if (index == 0) return key.mac(std::span(header.data(), kHeaderSignedLen));
  Mac prev_final;
  std::copy_n(&header[kHeaderPrevFinalOffset], prev_final.size(), prev_final.begin());
  return prev_final;
}

std::expected<HeaderFacts, ReaderError> check_segment_header(const File& file, std::uint16_t expected_index) {
  const auto invalid = [expected_index](std::string reason) {
    return std::unexpected(ReaderError::invalid_header(expected_index, std::move(reason)));
  };
  HeaderBytes h;
  if (auto r = read_exact_at(file, 0, h); !r) {
    if (r.error() == IoError::unexpected_eof()) return invalid("file shorter than 80-byte header");
    return std::unexpected(ReaderError::from_io(r.error()));
  }
  auto parsed = parse_header(h, expected_index);
  if (parsed) return *parsed;
  const HeaderDefect& d = parsed.error();
  switch (d.kind) {
    case HeaderDefect::Kind::kBadMagic: return invalid("magic mismatch: " + detail::bracketed_decimal(d.magic));
    case HeaderDefect::Kind::kUnsupportedVersion:
      return invalid(cat("unsupported version 0x", detail::hex4(d.version)));
    case HeaderDefect::Kind::kIndexMismatch:
      return invalid(cat("filename indicates segment ", expected_index, " but header says ", d.index));
    case HeaderDefect::Kind::kCrcMismatch: break;
  }
  return invalid(
      cat("CRC32 mismatch: stored 0x", detail::hex8(d.stored_crc), ", computed 0x", detail::hex8(d.computed_crc)));
}

std::expected<HeaderBytes, WriterError> read_header_for_recovery(const File& file, std::uint64_t file_len,
                                                                 std::uint16_t segment) {
  SegmentHeaderError e;
  if (file_len < kHeaderLen) {
    e.kind = SegmentHeaderError::Kind::kTooShort;
    e.length = file_len;
  } else {
    HeaderBytes h;
    if (auto r = read_exact_at(file, 0, h); !r) return std::unexpected(WriterError::from_io(r.error()));
    auto parsed = parse_header(h);
    if (parsed) return h;
    const HeaderDefect& d = parsed.error();
    switch (d.kind) {
      case HeaderDefect::Kind::kBadMagic:
        e.kind = SegmentHeaderError::Kind::kBadMagic;
        e.magic = d.magic;
        break;
      case HeaderDefect::Kind::kUnsupportedVersion:
        e.kind = SegmentHeaderError::Kind::kUnsupportedVersion;
        e.version = d.version;
        break;
      case HeaderDefect::Kind::kIndexMismatch:  // no index is expected here
      case HeaderDefect::Kind::kCrcMismatch:
        e.kind = SegmentHeaderError::Kind::kCrcMismatch;
        e.expected = d.computed_crc;
        e.got = d.stored_crc;
        break;
    }
  }
  RecoveryError refusal;
  refusal.kind = RecoveryError::Kind::kHeaderCorrupt;
  refusal.segment = segment;
  refusal.detail = e;
  return std::unexpected(WriterError::refused(std::move(refusal)));
}

}  // namespace corvane
