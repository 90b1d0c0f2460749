// The recovery scan of the last segment: walk its frames checking MACs and
// the chain, cut a torn tail, refuse anything that looks like tampering or
// like damage in front of intact records.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "format/segment_file.h"
#include "writer/recovery_internal.h"

namespace corvane {

namespace {

WriterError refused(RecoveryError::Kind kind, std::uint16_t segment, std::uint64_t record, std::uint64_t offset) {
  RecoveryError e;
  e.kind = kind;
  e.segment = segment;
  e.record = record;
  e.offset = offset;
  return WriterError::refused(std::move(e));
}

WriterError io(IoError e) { return WriterError::from_io(e); }

// A segment opened for recovery must be a regular file named in `dir`
// itself: a link planted there would have the cut made in its target.
std::expected<File, IoError> open_segment(const File& dir, std::uint16_t index, int flags) {
  return open_regular_file(At::dir(dir), segment_file_name(index), flags | O_NOFOLLOW);
}

// The segment opened for reads that bypass the page cache: after a failed
// sync the cache may show frames the disk never got, and a writer that built
// on them would leave a log that no longer verifies once the cache is gone.
// No file (one not open) where the file system refuses such reads (EINVAL)
// or the platform has none; any other failure is the caller's.
std::expected<File, IoError> open_uncached(const File& dir, std::uint16_t index) {
#ifdef O_DIRECT
  auto file = open_segment(dir, index, O_RDONLY | O_DIRECT);
  if (file || file.error() != IoError::from_errno(EINVAL)) return file;
#else
  (void)dir;
  (void)index;
#endif
  return File();
}

}  // namespace

std::expected<RecoveryScan, WriterError> scan_segment_for_recovery(const std::string& dir, std::uint16_t index,
                                                                   const KeyHandle& key) {
  auto opened = open_file(dir, O_RDONLY | O_DIRECTORY);
  if (!opened) return std::unexpected(io(opened.error()));
  return detail::scan_segment(*opened, index, key, true);
}

namespace detail {

std::expected<RecoveryScan, WriterError> scan_segment(const File& dir, std::uint16_t index, const KeyHandle& key,
                                                      bool cut) {
  auto file = open_segment(dir, index, O_RDWR);
  if (!file) return std::unexpected(io(file.error()));
  auto size = file_size(*file);
  if (!size) return std::unexpected(io(size.error()));
  auto header = read_header_for_recovery(*file, *size, index);
  if (!header) return std::unexpected(header.error());

  KeyId header_key_id;
  std::copy_n(header->begin() + kHeaderKeyIdOffset, header_key_id.size(), header_key_id.begin());
  if (!ct_equal(header_key_id, key->key_id())) {
    RecoveryError e;
    e.kind = RecoveryError::Kind::kKeyIdMismatch;
    e.segment = index;
    e.header_key_id_hex = to_hex(header_key_id);
    e.caller_key_id_hex = to_hex(key->key_id());
    return std::unexpected(WriterError::refused(std::move(e)));
  }

  RecoveryScan scan;
  scan.chain_head = chain_start(*key, index, *header);

  auto uncached = open_uncached(dir, index);
  if (!uncached) return std::unexpected(io(uncached.error()));
  detail::FileWindow window(std::move(*file), *size, std::move(*uncached));
  std::uint64_t o = kHeaderLen;
  while (o < *size) {
    auto frame = window.frame(o);
    if (!frame) return std::unexpected(io(frame.error()));
    Mac stored{};
    bool verified = false;
    if (frame->complete()) {
      std::copy_n(frame->mac, kMacLen, stored.begin());
      verified = ct_equal(key->mac(frame->record), stored);
    }
    if (!verified) {
      // Taken before the look to the end reads through the window, which
      // may refill it under the frame.
      const std::optional<std::uint64_t> id = frame->complete() ? record_id_of(frame->record) : std::nullopt;
      // A zero-filled end is what a power loss leaves; it may even frame as
      // a record of length 0, which no writer ever produces.
      auto zeros = detail::zero_to_end(window, o);
      if (!zeros) return std::unexpected(io(zeros.error()));
      if (*zeros) break;
      if (frame->complete()) {
        const std::uint64_t expected = scan.last_record_id ? *scan.last_record_id + 1 : 0;
        return std::unexpected(refused(RecoveryError::Kind::kHmacMismatch, index, id.value_or(expected), o));
      }
      // A crash damages only the end; an intact frame further on means this
      // is damage in the middle, and cutting would destroy records. A search
      // that gave up cannot rule that out, so it is refused the same way.
      auto intact = detail::intact_frame_after(window, o, *key);
      if (!intact) return std::unexpected(io(intact.error()));
      if (*intact != detail::TailSearch::kNoIntactFrame) {
        return std::unexpected(refused(RecoveryError::Kind::kCorruptFrame, index, 0, o));
      }
      break;
    }
    const ByteView record = frame->record;
    const std::uint64_t next = o + frame->size;
    if (auto valid = validate_canonical(record); !valid) {
      return std::unexpected(WriterError::record_not_canonical(index, o, valid.error()));
    }
    auto view = detail::parse_recovery_view(record);
    if (!view) {
      return std::unexpected(WriterError::record_schema(index, o, view.error()));
    }
    if (!ct_equal(view->prev_hash, scan.chain_head)) {
      return std::unexpected(refused(RecoveryError::Kind::kChainBreak, index, view->record_id, o));
    }
    scan.chain_head = stored;
    scan.last_record_id = view->record_id;
    scan.last_ts_wall = std::move(view->ts_wall);
    scan.last_ts_mono_delta = view->ts_mono_delta;
    scan.finalized = view->event == kFinalizationEvent;
    scan.records += 1;
    o = next;
  }

  scan.end_offset = o;
  scan.truncated_bytes = *size - o;
  if (cut && scan.truncated_bytes != 0) {
    // A failed sync is not retried: the kernel may already have dropped the
    // pages it could not write, so a second success would prove nothing.
    if (auto r = truncate_file(window.file(), o); !r) return std::unexpected(io(r.error()));
    if (auto r = sync_file(window.file()); !r) return std::unexpected(io(r.error()));
  }
  return scan;
}

std::expected<std::optional<Remnant>, WriterError> creation_remnant(const File& dir,
                                                                    std::span<const std::uint16_t> indices,
                                                                    const KeyHandle& key) {
  const std::uint16_t last = indices.back();
  auto file = open_segment(dir, last, O_RDONLY);
  if (!file) return std::unexpected(io(file.error()));
  auto size = file_size(*file);
  if (!size) return std::unexpected(io(size.error()));
  if (*size > kHeaderLen) return std::nullopt;
  Bytes bytes(*size);
  if (auto r = read_exact_at(*file, 0, bytes); !r) return std::unexpected(io(r.error()));
  const bool zeros = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
  if (!zeros && *size == kHeaderLen) return std::nullopt;  // a whole header: the scan judges it

  // Only the writer that finalized the segment before creates this one, and
  // only with the header it builds from that segment's final MAC.
  Remnant found{Mac{}, *size};
  std::uint64_t stray = 0;
  if (last != 0) {
    if (indices.size() < 2 || indices[indices.size() - 2] != last - 1) return std::nullopt;
    auto prev = scan_segment(dir, static_cast<std::uint16_t>(last - 1), key, false);
    if (!prev) {
      if (prev.error().kind == WriterError::Kind::kIo) return std::unexpected(prev.error());
      return std::nullopt;
    }
    if (!prev->finalized) return std::nullopt;
    found.prev_final = prev->chain_head;
    stray = prev->truncated_bytes;
  }
  const HeaderBytes header = build_header(key->key_id(), found.prev_final, last);
  if (!zeros && !std::equal(bytes.begin(), bytes.end(), header.begin())) return std::nullopt;
  if (stray != 0) {
    auto cut = scan_segment(dir, static_cast<std::uint16_t>(last - 1), key, true);
    if (!cut) return std::unexpected(cut.error());
    found.discarded += cut->truncated_bytes;
  }
  return found;
}

std::optional<std::string> final_ts_wall(const File& dir, std::uint16_t index, const Mac& final_mac, const Key& key) {
  auto file = open_segment(dir, index, O_RDONLY);
  if (!file) return std::nullopt;
  auto size = file_size(*file);
  if (!size || *size < kHeaderLen + kFrameOverhead) return std::nullopt;
  std::uint8_t trailer[kFrameLenField];
  if (!read_exact_at(*file, *size - kFrameLenField, trailer)) return std::nullopt;
  const std::uint32_t len = load_u32le(trailer);
  if (len > MAX_RECORD_LEN || *size - kHeaderLen < std::uint64_t{len} + kFrameOverhead) return std::nullopt;
  Bytes bytes(std::size_t{len} + kFrameOverhead);
  if (!read_exact_at(*file, *size - bytes.size(), bytes)) return std::nullopt;
  // Read backwards from its trailing length, the frame must also frame forwards, and end the file.
  const Frame frame = parse_frame(bytes, bytes.size());
  if (!frame.complete() || frame.size != bytes.size()) return std::nullopt;
  Mac stored{};
  std::copy_n(frame.mac, kMacLen, stored.begin());
  if (!ct_equal(stored, final_mac) || !ct_equal(key.mac(frame.record), stored)) return std::nullopt;
  if (!validate_canonical(frame.record)) return std::nullopt;
  auto view = parse_recovery_view(frame.record);
  if (!view) return std::nullopt;
  return std::move(view->ts_wall);
}

}  // namespace detail

}  // namespace corvane
