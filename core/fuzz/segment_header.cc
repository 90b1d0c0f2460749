// The two header checks, the reader's and recovery's, against the header
// layout: each fails at the first broken field in its own order, they agree
// wherever their checks overlap, and what they return is what the header
// holds. Also segment file names: a name read back names the same file.
#include <fcntl.h>

#include <algorithm>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "support.h"
#include "targets.h"

using namespace corvane;

namespace {

void check_name(const Bytes& bytes, std::uint16_t index) {
  FUZZ_CHECK(parse_segment_file_name(segment_file_name(index)) == std::optional<std::uint16_t>(index));
  const std::string name(bytes.begin(), bytes.end());
  const auto parsed = parse_segment_file_name(name);
  if (parsed && name[6] != '+') FUZZ_CHECK_MSG(segment_file_name(*parsed) == name, name);
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint16_t index = in.u16();
  const Bytes bytes = in.rest();
  check_name(bytes, index);

  fuzz::MemFs fs;
  fs.add_dir(fuzz::kLogDir);
  fs.put(fuzz::log_path(index), bytes);
  {
    auto file = open_file(fuzz::log_path(index), O_RDONLY);
    FUZZ_CHECK(file.has_value());
    const auto reader = check_segment_header(*file, index);
    const auto recovery = read_header_for_recovery(*file, bytes.size(), index);
    SegmentReader segment(std::move(*file), index);
    const auto again = segment.check_header();
    FUZZ_CHECK(reader.has_value() == again.has_value());

    const bool whole = bytes.size() >= kHeaderLen;
    const bool magic = whole && std::equal(kMagic.begin(), kMagic.end(), bytes.begin());
    const std::uint16_t version = whole ? load_u16le(&bytes[kHeaderVersionOffset]) : 0;
    const bool index_ok = whole && load_u16le(&bytes[kHeaderIndexOffset]) == index;
    const std::uint32_t computed = whole ? crc32(ByteView(bytes.data(), kHeaderSignedLen)) : 0;
    const std::uint32_t stored = whole ? load_u32le(&bytes[kHeaderCrcOffset]) : 0;

    if (reader) {
      FUZZ_CHECK(magic && version == kFormatVersion && index_ok && computed == stored);
      FUZZ_CHECK(reader->segment == index);
      FUZZ_CHECK(std::equal(reader->key_id.begin(), reader->key_id.end(), bytes.begin() + kHeaderKeyIdOffset));
      FUZZ_CHECK(std::equal(reader->prev_final.begin(), reader->prev_final.end(),
                            bytes.begin() + kHeaderPrevFinalOffset));
      FUZZ_CHECK(again->segment == reader->segment && again->key_id == reader->key_id &&
                 again->prev_final == reader->prev_final);
    } else {
      const ReaderError& e = reader.error();
      FUZZ_CHECK(e == again.error());
      FUZZ_CHECK(e.kind == ReaderError::Kind::kInvalidSegmentHeader && e.segment == index);
      const char* reason = !whole                        ? "file shorter than 80-byte header"
                           : !magic                      ? "magic mismatch: "
                           : version != kFormatVersion   ? "unsupported version 0x"
                           : !index_ok                   ? "filename indicates segment "
                                                         : "CRC32 mismatch: ";
      FUZZ_CHECK_MSG(starts_with(e.message, reason), e.message);
    }

    if (recovery) {
      FUZZ_CHECK(magic && version == kFormatVersion && computed == stored);
      FUZZ_CHECK(std::equal(recovery->begin(), recovery->end(), bytes.begin()));
      // Recovery does not look at the index field; the reader does.
      FUZZ_CHECK(reader.has_value() == index_ok);
    } else {
      FUZZ_CHECK(!reader);
      const WriterError& w = recovery.error();
      FUZZ_CHECK(w.kind == WriterError::Kind::kRecoveryRefused &&
                 w.recovery.kind == RecoveryError::Kind::kHeaderCorrupt && w.recovery.segment == index);
      const SegmentHeaderError& d = w.recovery.detail;
      using K = SegmentHeaderError::Kind;
      if (!whole) {
        FUZZ_CHECK(d.kind == K::kTooShort && d.length == bytes.size());
      } else if (!magic) {
        FUZZ_CHECK(d.kind == K::kBadMagic && std::equal(d.magic.begin(), d.magic.end(), bytes.begin()));
      } else if (version != kFormatVersion) {
        FUZZ_CHECK(d.kind == K::kUnsupportedVersion && d.version == version);
      } else {
        FUZZ_CHECK(d.kind == K::kCrcMismatch && d.expected == computed && d.got == stored);
      }
    }
  }
  FUZZ_CHECK(fs.open_count() == 0);
  FUZZ_CHECK(*fs.get(fuzz::log_path(index)) == bytes);
  return 0;
}
