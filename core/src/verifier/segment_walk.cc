#include "verifier/segment_walk.h"

#include <algorithm>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "verifier/record_fields.h"

namespace corvane::detail {

std::string hex(std::span<const std::uint8_t> bytes) { return to_hex(bytes); }

namespace {

// A record may be stamped up to this much earlier than the one before it
// (clock adjustments); more is a regression.
constexpr std::int64_t kMaxStepBackMs = 60000;

template <std::size_t N>
std::array<std::uint8_t, N> slice(const HeaderBytes& h, std::size_t at) {
  std::array<std::uint8_t, N> out;
  std::copy_n(h.data() + at, N, out.begin());
  return out;
}

// The first failing header check, in the order magic, version, CRC, key_id,
// reserved bytes. The index field is not compared with the file name.
std::optional<Violation> header_violation(const HeaderBytes& h, std::uint16_t index, const KeyId& key_id) {
  if (!std::equal(kMagic.begin(), kMagic.end(), h.begin())) return violations::bad_magic(index, h.data());
  const std::uint16_t version = load_u16le(h.data() + kHeaderVersionOffset);
  if (version != kFormatVersion) return violations::unknown_version(index, version);
  const std::uint32_t computed = crc32(std::span(h.data(), kHeaderSignedLen));
  const std::uint32_t stored = load_u32le(h.data() + kHeaderCrcOffset);
  if (computed != stored) return violations::crc_mismatch(index, computed, stored);
  const KeyId header_key_id = slice<32>(h, kHeaderKeyIdOffset);
  if (!ct_equal(header_key_id, key_id)) {
    return violations::header_key_id_mismatch(index, hex(header_key_id), hex(key_id));
  }
  if (load_u32le(h.data() + kHeaderReservedOffset) != 0) {
    return violations::reserved_nonzero(index, h.data() + kHeaderReservedOffset);
  }
  return std::nullopt;
}

}  // namespace

std::expected<bool, VerifyError> Walk::segment(std::uint16_t index) {
  LogSummary& log = report.log;
  ++log.segments_inspected;
  log.last_segment_index = index;

  // The file stays open for the whole segment: frames appended meanwhile are
  // still walked, without a system call per frame.
  auto reader = SegmentReader::open(dir_, index);
  if (!reader) return add(violations::header_truncated(index, reader.error().to_string()));
  HeaderBytes header;
  if (auto read = read_exact_at(reader->file(), 0, header); !read) {
    return add(violations::header_truncated(index, read.error().to_string()));
  }
  if (auto bad = header_violation(header, index, key_id_)) return add(std::move(*bad));

  const Mac prev_final = slice<32>(header, kHeaderPrevFinalOffset);
  if (previous_final && !ct_equal(*previous_final, prev_final)) {
    return add(violations::segment_discontinuity(index, hex(*previous_final), hex(prev_final)));
  }
  // Decided by the index, not by whether this is the first segment walked:
  // a log cut at its start chains from the prev_final it was left with.
  Mac chain_head = index == 0 ? key_.mac(std::span(header.data(), kHeaderSignedLen)) : prev_final;

  const std::optional<Checkpoint>& checkpoint = options_.checkpoint;
  std::uint64_t expected_id = 0;
  std::optional<std::uint64_t> last_id;
  std::uint64_t offset = kHeaderLen;
  detail::RecordFields fields;
  for (;;) {
    auto frame = reader->read_frame(offset);
    if (!frame) {
      if (frame.error().kind == ReaderError::Kind::kTornTail) return add(violations::torn_tail(index, offset));
      return std::unexpected(VerifyError{VerifyError::Kind::kReaderIo, frame.error(), {}, {}});
    }
    if (!*frame) break;
    const FrameView& f = **frame;
    ++log.records_inspected;

    Mac stored;
    std::copy_n(f.mac, kMacLen, stored.begin());
    const Mac computed = key_.mac(f.record);
    if (!ct_equal(computed, stored)) {
      return add(violations::hmac_mismatch(index, expected_id, offset, hex(computed), hex(stored), f.record.size()));
    }
    if (!detail::scan_record(f.record, fields)) {
      // Not the common shape: the full decoder judges it, with its own texts.
      if (auto valid = validate_canonical(f.record); !valid) {
        return add(violations::decode_error(index, expected_id, offset, valid.error().to_string()));
      }
      auto read = detail::read_record_fields(f.record);
      if (!read) return add(violations::decode_error(index, expected_id, offset, std::move(read.error())));
      fields = *read;
    }
    const detail::RecordFields& r = fields;

    if (!ct_equal(r.prev_hash, chain_head)) {
      return add(violations::chain_break(index, r.record_id, offset, hex(chain_head), hex(r.prev_hash)));
    }
    if (!ct_equal(r.key_id, key_id_)) {
      // The header's key_id equals the verifier's here: the header check passed.
      return add(violations::record_key_id_mismatch(index, r.record_id, offset, hex(key_id_), hex(r.key_id)));
    }
    const std::int64_t time = ts_wall_to_ms(r.ts_wall);
    if (previous_time_ && time - *previous_time_ < -kMaxStepBackMs) {
      return add(violations::timestamp_regression(index, r.record_id, offset, std::string(r.ts_wall),
                                                  *previous_time_, time - *previous_time_,
                                                  previous_session_ != r.session_id));
    }
    if (checkpoint && checkpoint->segment == index && checkpoint->record_id == r.record_id) {
      if (!ct_equal(stored, checkpoint->hmac)) {
        return add(violations::checkpoint_mismatch(index, r.record_id, offset, hex(checkpoint->hmac), hex(stored),
                                                   checkpoint->observed_at));
      }
      checkpoint_found_ = true;
    }

    previous_session_ = r.session_id;
    previous_time_ = time;
    expected_id = r.record_id + 1;
    chain_head = stored;
    last_id = r.record_id;
    offset = f.next_offset();
  }
  previous_final = chain_head;
  head = VerifiedHead{index, last_id};
  return true;
}

}  // namespace corvane::detail
