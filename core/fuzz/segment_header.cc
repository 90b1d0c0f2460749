// The two header checks, the reader's and recovery's, against the header
// layout: each fails at the first broken field in its own order, they agree
// wherever their checks overlap, and what they return is what the header
// holds. Also segment file names: a name read back names the same file.
#include <fcntl.h>

#include "corvane/segment.h"
#include "format/segment_file.h"
#include "support.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint16_t index = size >= 2 ? load_u16le(data) : 0;
  const Bytes bytes(data + std::min<std::size_t>(size, 2), data + size);
  FUZZ_CHECK(parse_segment_file_name(segment_file_name(index)) == std::optional(index));
  const std::string name(bytes.begin(), bytes.end());
  if (auto parsed = parse_segment_file_name(name); parsed && name[6] != '+') FUZZ_CHECK_MSG(segment_file_name(*parsed) == name, name);

  const int fds = fuzz::open_fds();
  const std::string path = segment_path(fuzz::put_log({{index, bytes}}), index);
  {
    auto file = fuzz::ok(open_file(path, O_RDONLY));
    const auto reader = check_segment_header(file, index);
    const auto recovery = read_header_for_recovery(file, bytes.size(), index);
    const fuzz::Header h = fuzz::header(bytes, index);

    if (reader) {
      FUZZ_CHECK(h.magic && h.version_ok() && h.index_ok && h.crc_ok() && reader->segment == index);
      FUZZ_CHECK(std::ranges::equal(reader->key_id, ByteView(bytes).subspan(kHeaderKeyIdOffset, sizeof(KeyId))) &&
                 std::ranges::equal(reader->prev_final, ByteView(bytes).subspan(kHeaderPrevFinalOffset, kMacLen)));
    } else {
      const ReaderError& e = reader.error();
      FUZZ_CHECK(e.kind == ReaderError::Kind::kInvalidSegmentHeader && e.segment == index);
      const char* reason = !h.whole        ? "file shorter than 80-byte header"
                           : !h.magic      ? "magic mismatch: "
                           : !h.version_ok() ? "unsupported version 0x"
                           : !h.index_ok   ? "filename indicates segment "
                                           : "CRC32 mismatch: ";
      FUZZ_CHECK_MSG(e.message.starts_with(reason), e.message);
    }

    if (recovery) {
      // Recovery does not look at the index field; the reader does.
      FUZZ_CHECK(h.magic && h.version_ok() && h.crc_ok() && reader.has_value() == h.index_ok);
      FUZZ_CHECK(std::equal(recovery->begin(), recovery->end(), bytes.begin()));
    } else {
      const WriterError& w = recovery.error();
      FUZZ_CHECK(!reader && w.kind == WriterError::Kind::kRecoveryRefused &&
                 w.recovery.kind == RecoveryError::Kind::kHeaderCorrupt && w.recovery.segment == index);
      const SegmentHeaderError& d = w.recovery.detail;
      using K = SegmentHeaderError::Kind;
      if (!h.whole) FUZZ_CHECK(d.kind == K::kTooShort && d.length == bytes.size());
      else if (!h.magic) FUZZ_CHECK(d.kind == K::kBadMagic && std::ranges::equal(d.magic, ByteView(bytes).first(4)));
      else if (!h.version_ok()) FUZZ_CHECK(d.kind == K::kUnsupportedVersion && d.version == h.version);
      else FUZZ_CHECK(d.kind == K::kCrcMismatch && d.expected == h.crc && d.got == h.stored_crc);
    }
  }
  FUZZ_CHECK(fuzz::open_fds() == fds && fuzz::read_segment(index) == bytes);
  return 0;
}
