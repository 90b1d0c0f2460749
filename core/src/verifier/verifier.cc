#include "corvane/verifier.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "verifier/record_fields.h"

namespace corvane {

namespace {

std::string hex(std::span<const std::uint8_t> bytes) { return to_hex(bytes); }

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

class Walk {
 public:
  Walk(const std::string& dir, const Key& key, const VerifyOptions& options)
      : dir_(dir), key_(key), key_id_(key.key_id()), options_(options) {}

  VerifyReport report;
  std::optional<Mac> previous_final;
  VerifiedHead head;

  // Walks one segment; false when the walk must stop here.
  std::expected<bool, VerifyError> segment(std::uint16_t index);

  bool checkpoint_found() const { return checkpoint_found_; }

 private:
  bool add(Violation v) { return report.add_violation(std::move(v), options_.forensic); }

  const std::string& dir_;
  const Key& key_;
  const KeyId& key_id_;
  const VerifyOptions& options_;
  std::optional<std::int64_t> previous_time_;
  SessionId previous_session_{};
  bool checkpoint_found_ = false;
};

std::expected<bool, VerifyError> Walk::segment(std::uint16_t index) {
  LogSummary& log = report.log;
  ++log.segments_inspected;
  log.last_segment_index = index;

  // The file stays open for the whole segment: frames appended meanwhile are
  // still walked, without a system call per frame.
  auto file = open_regular_file(At::cwd(), segment_path(dir_, index), O_RDONLY | O_NOFOLLOW);
  if (!file) {
    // What the directory holds under a segment's name is the log's business;
    // a file the system will not let us open (permissions, descriptors
    // exhausted) says nothing about the log.
    const IoError& e = file.error();
    if (e == IoError::not_regular_file() || e == IoError::from_errno(ENOENT)) {
      return add(violations::header_truncated(index, e.to_string()));
    }
    return std::unexpected(VerifyError{VerifyError::Kind::kReaderIo, ReaderError::from_io(e), {}, {}});
  }
  SegmentReader reader(std::move(*file), index);
  HeaderBytes header;
  if (auto read = read_exact_at(reader.file(), 0, header); !read) {
    if (read.error() == IoError::unexpected_eof()) {
      return add(violations::header_truncated(index, read.error().to_string()));
    }
    return std::unexpected(VerifyError{VerifyError::Kind::kReaderIo, ReaderError::from_io(read.error()), {}, {}});
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
  std::uint64_t last_offset = 0;
  std::uint64_t offset = kHeaderLen;
  detail::RecordFields fields;
  for (;;) {
    auto frame = reader.read_frame(offset);
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
    if (previous_time_ && time - *previous_time_ < -kMaxTimestampStepBackMs) {
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
    last_offset = offset;
    offset = f.next_offset();
  }
  previous_final = chain_head;
  head = VerifiedHead{index, last_id, last_offset};
  return true;
}

// Signed decimal with an optional sign, digits only; nullopt otherwise.
std::optional<std::int64_t> parse_field(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return negative ? -v : v;
}

std::int64_t field_at(std::string_view ts, std::size_t at, std::size_t len) {
  return parse_field(ts.substr(at, len)).value_or(0);
}

// Days since 1970-01-01 of a proleptic Gregorian date (eras of 400 years,
// years starting on 1 March). Fields are not range-checked.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Whether a 24-byte ts_wall reads exactly "dddd-dd-ddTdd:dd:dd.dddZ", eight
// bytes at a time: XOR with the shape leaves 0-9 at digit positions and 0 at
// the others; adding 6 to a digit position then stays below 0x10. (A byte
// that carries into its neighbour has failed already.)
bool usual_shape(std::string_view ts) {
  static constexpr char kShape[] = "0000-00-00T00:00:00.000Z";
  struct Masks {
    std::uint8_t shape[24];
    std::uint8_t add[24];
    std::uint8_t keep[24];
  };
  static constexpr Masks kMasks = [] {
    Masks m{};
    for (std::size_t i = 0; i < 24; ++i) {
      const bool digit = kShape[i] == '0';
      m.shape[i] = static_cast<std::uint8_t>(kShape[i]);
      m.add[i] = digit ? 0x06 : 0x00;
      m.keep[i] = digit ? 0xF0 : 0xFF;
    }
    return m;
  }();
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < 24; i += 8) {
    std::uint64_t word, shape, add, keep;
    std::memcpy(&word, ts.data() + i, 8);
    std::memcpy(&shape, kMasks.shape + i, 8);
    std::memcpy(&add, kMasks.add + i, 8);
    std::memcpy(&keep, kMasks.keep + i, 8);
    const std::uint64_t v = word ^ shape;
    bad |= (v | (v + add)) & keep;
  }
  return bad == 0;
}

}  // namespace

std::int64_t ts_wall_to_ms(std::string_view ts) {
  if (ts.size() != 24) return 0;
  if (usual_shape(ts)) {
    auto d = [&](std::size_t at) { return static_cast<std::int64_t>(ts[at] - '0'); };
    const std::int64_t days = days_from_civil(d(0) * 1000 + d(1) * 100 + d(2) * 10 + d(3), d(5) * 10 + d(6),
                                              d(8) * 10 + d(9));
    return days * 86400000 + (d(11) * 10 + d(12)) * 3600000 + (d(14) * 10 + d(15)) * 60000 +
           (d(17) * 10 + d(18)) * 1000 + d(20) * 100 + d(21) * 10 + d(22);
  }
  const std::int64_t days = days_from_civil(field_at(ts, 0, 4), field_at(ts, 5, 2), field_at(ts, 8, 2));
  return days * 86400000 + field_at(ts, 11, 2) * 3600000 + field_at(ts, 14, 2) * 60000 +
         field_at(ts, 17, 2) * 1000 + field_at(ts, 20, 3);
}

std::expected<VerifyReport, VerifyError> verify(const std::string& dir, const KeyHandle& key,
                                                const VerifyOptions& options, VerifiedHead* head) {
  // Never a hole that a rotation running during the listing made up: the
  // walk would take it for a discontinuity.
  auto listed = reader_list_segments(dir);
  if (!listed) return std::unexpected(VerifyError{VerifyError::Kind::kOpenLogDirectory, listed.error(), {}, {}});
  const KeyId& key_id = key->key_id();
  if (options.checkpoint && !ct_equal(options.checkpoint->key_id, key_id)) {
    return std::unexpected(VerifyError{VerifyError::Kind::kCheckpointKeyMismatch, {}, hex(key_id),
                                       hex(options.checkpoint->key_id)});
  }

  Walk walk(dir, *key, options);
  LogSummary& log = walk.report.log;
  log.log_dir = dir;
  log.key_id_hex = hex(key_id);
  if (!listed->empty()) log.first_segment_index = listed->front();

  for (std::uint16_t index : *listed) {
    auto go_on = walk.segment(index);
    if (!go_on) return std::unexpected(go_on.error());
    // Stopped at the first violation: no final head, no truncation check.
    if (!*go_on) return std::move(walk.report);
  }
  if (walk.previous_final) {
    log.final_hmac_hex = hex(*walk.previous_final);
    if (head != nullptr) *head = walk.head;
  }
  const std::optional<Checkpoint>& checkpoint = options.checkpoint;
  if (checkpoint && !walk.checkpoint_found() && !walk.report.violation) {
    walk.report.add_violation(
        violations::checkpoint_truncated(checkpoint->segment, checkpoint->record_id, hex(checkpoint->hmac),
                                         checkpoint->observed_at, log.last_segment_index, log.records_inspected),
        options.forensic);
  }
  return std::move(walk.report);
}

}  // namespace corvane
