#include "verifier/segment_walk.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "corvane/reader.h"
#include "corvane/segment.h"
#include "format/frames.h"
#include "format/segment_file.h"
#include "verifier/record_fields.h"

namespace corvane::detail {

std::string hex(std::span<const std::uint8_t> bytes) { return to_hex(bytes); }

namespace {

// The first failing header check, in the order magic, version, CRC, key_id,
// reserved bytes. The index field is not compared with the file name.
std::expected<HeaderFacts, Violation> check_header(const HeaderBytes& h, std::uint16_t index, const KeyId& key_id) {
  auto parsed = parse_header(h);
  if (!parsed) {
    const HeaderDefect& d = parsed.error();
    switch (d.kind) {
      case HeaderDefect::Kind::kBadMagic: return std::unexpected(violations::bad_magic(index, d.magic.data()));
      case HeaderDefect::Kind::kUnsupportedVersion:
        return std::unexpected(violations::unknown_version(index, d.version));
      case HeaderDefect::Kind::kIndexMismatch:  // no index is expected here
      case HeaderDefect::Kind::kCrcMismatch:
        return std::unexpected(violations::crc_mismatch(index, d.computed_crc, d.stored_crc));
    }
  }
  if (!ct_equal(parsed->key_id, key_id)) {
    return std::unexpected(violations::header_key_id_mismatch(index, hex(parsed->key_id), hex(key_id)));
  }
  if (load_u32le(parsed->reserved.data()) != 0) {
    return std::unexpected(violations::reserved_nonzero(index, parsed->reserved.data()));
  }
  return *parsed;
}

// The rules that span a segment boundary. The walk applies them when it has
// the carry; the join, when the walk was made without it.
std::optional<Violation> discontinuity(std::uint16_t index, const std::optional<Mac>& previous_final,
                                       const Mac& prev_final) {
  if (!previous_final || ct_equal(*previous_final, prev_final)) return std::nullopt;
  return violations::segment_discontinuity(index, hex(*previous_final), hex(prev_final));
}

bool regressed(const std::optional<std::int64_t>& previous, std::int64_t time) {
  return previous && time - *previous < -kMaxTimestampStepBackMs;
}

void publish(std::uint64_t* progress, int counter, std::uint64_t amount) {
  if (progress != nullptr && amount != 0) {
    std::atomic_ref<std::uint64_t>(progress[counter]).fetch_add(amount, std::memory_order_relaxed);
  }
}

// The record_id a frame's record carries, read without its MAC; nullopt when
// the bytes are not a record.
std::optional<std::uint64_t> record_id_of(const FrameView& f) {
  RecordFields fields;
  if (scan_record(f.record, fields)) return fields.record_id;
  if (!validate_canonical(f.record)) return std::nullopt;
  auto read = read_record_fields(f.record);
  if (!read) return std::nullopt;
  return read->record_id;
}

// The offset of the first frame holding `record_id`, found through the
// framing alone (no MAC): the hinted offset if its frame holds it, else the
// frame in that position (record ids count frames from 0), else the first
// frame whose record carries the id. nullopt when the segment (or the
// horizon) ends first; a frame that does not frame is returned as the error.
std::expected<std::optional<std::uint64_t>, ReaderError> locate(SegmentReader& reader, std::uint64_t record_id,
                                                                std::optional<std::uint64_t> hint,
                                                                std::optional<std::uint64_t> horizon) {
  const auto inside = [&](const FrameView& f) { return !horizon || f.next_offset() <= *horizon; };
  if (hint && *hint >= kHeaderLen && (!horizon || *hint < *horizon)) {
    auto frame = reader.read_frame(*hint);
    if (frame && *frame && inside(**frame) && record_id_of(**frame) == record_id) return *hint;
  }
  for (const bool by_position : {true, false}) {
    std::uint64_t n = 0;
    for (std::uint64_t offset = kHeaderLen; !horizon || offset < *horizon; ++n) {
      auto frame = reader.read_frame(offset);
      if (!frame) return std::unexpected(frame.error());
      if (!*frame || !inside(**frame)) break;
      const bool candidate = by_position ? n == record_id : true;
      if (candidate && record_id_of(**frame) == record_id) return offset;
      if (by_position && n == record_id) break;
      offset = (*frame)->next_offset();
    }
  }
  return std::nullopt;
}

// Bytes of the frame at `offset` that the horizon cuts off, if it is one a
// writer could be in the middle of appending: its length field is cut, or
// names a record that ends past the horizon.
std::optional<std::uint64_t> cut_by_horizon(const SegmentReader& reader, std::uint64_t offset, std::uint64_t horizon) {
  if (offset >= horizon) return std::nullopt;
  std::array<std::uint8_t, kFrameLenField> len{};
  const bool whole_len = horizon - offset >= kFrameLenField;
  if (whole_len && !read_exact_at(reader.file(), offset, len)) return std::nullopt;
  const Frame frame = parse_frame(whole_len ? ByteView(len) : ByteView(), horizon - offset);
  if (frame.status != FrameStatus::kTorn) return std::nullopt;
  return horizon - offset;
}

VerifyError reader_io(ReaderError e) { return VerifyError{VerifyError::Kind::kReaderIo, std::move(e), {}, {}}; }

}  // namespace

SegmentWalk walk_segment(const WalkContext& ctx, std::uint16_t index, const Carry* carry, WalkStart start) {
  SegmentWalk w;
  w.index = index;
  w.start = start;
  const auto stop = [&w](Violation v) {
    w.violation = std::move(v);
    return std::move(w);
  };

  // The file stays open for the whole segment: frames appended meanwhile are
  // still walked, without a system call per frame.
  auto file = open_regular_file(At::cwd(), segment_path(ctx.dir, index), O_RDONLY | O_NOFOLLOW);
  if (!file) {
    // What the directory holds under a segment's name is the log's business;
    // a file the system will not let us open (permissions, descriptors
    // exhausted) says nothing about the log.
    const IoError& e = file.error();
    if (e == IoError::not_regular_file() || e == IoError::from_errno(ENOENT)) {
      return stop(violations::header_truncated(index, e.to_string()));
    }
    w.error = reader_io(ReaderError::from_io(e));
    return w;
  }
  std::optional<SegmentReader> reader(std::in_place, std::move(*file), index);
  HeaderBytes header;
  if (auto read = read_exact_at(reader->file(), 0, header); !read) {
    if (read.error() == IoError::unexpected_eof()) {
      return stop(violations::header_truncated(index, read.error().to_string()));
    }
    w.error = reader_io(ReaderError::from_io(read.error()));
    return w;
  }
  auto facts = check_header(header, index, ctx.key_id);
  if (!facts) return stop(std::move(facts.error()));

  const Mac& prev_final = facts->prev_final;
  w.prev_final = prev_final;
  if (carry != nullptr) {
    if (auto gap = discontinuity(index, carry->previous_final, prev_final)) return stop(std::move(*gap));
  }
  // Decided by the index, not by whether this is the first segment walked:
  // a log cut at its start chains from the prev_final it was left with.
  Mac chain_head = chain_start(ctx.key, index, header);

  std::optional<std::uint64_t> horizon;
  if (start.horizon) {
    auto size = reader->refresh_size();
    if (!size) {
      w.error = reader_io(ReaderError::from_io(size.error()));
      return w;
    }
    horizon = *size;
  }

  const std::optional<Checkpoint>& checkpoint = ctx.options.checkpoint;
  std::uint64_t expected_id = 0;
  std::uint64_t offset = kHeaderLen;
  bool trusted = false;  // the pinned record: its prev_hash is not ours to check
  if (start.pinned && checkpoint) {
    auto at = locate(*reader, checkpoint->record_id, start.pin_offset, horizon);
    if (!at) {
      if (at.error().kind == ReaderError::Kind::kTornTail) return stop(violations::torn_tail(index, at.error().offset));
      w.error = reader_io(at.error());
      return w;
    }
    if (!*at) return w;  // not here: the join reports the checkpoint truncated
    offset = **at;
    expected_id = checkpoint->record_id;
    trusted = true;
  }

  std::optional<std::int64_t> previous_time = carry != nullptr ? carry->previous_time : std::nullopt;
  SessionId previous_session = carry != nullptr ? carry->previous_session : SessionId{};
  std::uint64_t published = 0;  // the header and any frames skipped to a pin count as walked
  RecordFields fields;
  for (;;) {
    if (offset - published >= (std::uint64_t{1} << 20)) {
      publish(ctx.progress, 0, offset - published);
      published = offset;
    }
    if (horizon && offset >= *horizon) break;
    auto frame = reader->read_frame(offset);
    if (!frame) {
      if (frame.error().kind != ReaderError::Kind::kTornTail) {
        w.error = reader_io(frame.error());
        return w;
      }
      if (horizon) {
        if (auto cut = cut_by_horizon(*reader, offset, *horizon)) {
          w.pending = *cut;
          break;
        }
      }
      return stop(violations::torn_tail(index, offset));
    }
    if (!*frame) break;
    const FrameView& f = **frame;
    if (horizon && f.next_offset() > *horizon) {
      w.pending = *horizon - offset;
      break;
    }
    ++w.records;

    Mac stored;
    std::copy_n(f.mac, kMacLen, stored.begin());
    const Mac computed = ctx.key.mac(f.record);
    if (!ct_equal(computed, stored)) {
      return stop(violations::hmac_mismatch(index, expected_id, offset, hex(computed), hex(stored), f.record.size()));
    }
    if (!scan_record(f.record, fields)) {
      // Not the common shape: the full decoder judges it, with its own texts.
      if (auto valid = validate_canonical(f.record); !valid) {
        return stop(violations::decode_error(index, expected_id, offset, valid.error().to_string()));
      }
      auto read = read_record_fields(f.record);
      if (!read) return stop(violations::decode_error(index, expected_id, offset, std::move(read.error())));
      fields = *read;
    }
    const RecordFields& r = fields;

    if (!trusted && !ct_equal(r.prev_hash, chain_head)) {
      return stop(violations::chain_break(index, r.record_id, offset, hex(chain_head), hex(r.prev_hash)));
    }
    if (!ct_equal(r.key_id, ctx.key_id)) {
      // The header's key_id equals the verifier's here: the header check passed.
      return stop(violations::record_key_id_mismatch(index, r.record_id, offset, hex(ctx.key_id), hex(r.key_id)));
    }
    const std::int64_t time = ts_wall_to_ms(r.ts_wall);
    if (carry == nullptr && !previous_time && !w.first_time) {
      w.first_time = time;  // the join holds it against the segments before
    } else if (regressed(previous_time, time)) {
      return stop(violations::timestamp_regression(index, r.record_id, offset, std::string(r.ts_wall), *previous_time,
                                                   time - *previous_time, previous_session != r.session_id));
    }
    if (checkpoint && checkpoint->segment == index && checkpoint->record_id == r.record_id) {
      if (!ct_equal(stored, checkpoint->hmac)) {
        return stop(violations::checkpoint_mismatch(index, r.record_id, offset, hex(checkpoint->hmac), hex(stored),
                                                    checkpoint->observed_at));
      }
      w.checkpoint_found = true;
    }

    previous_session = r.session_id;
    previous_time = time;
    w.last_time = time;
    w.last_session = r.session_id;
    if (!w.first_ts_wall) w.first_ts_wall.emplace(r.ts_wall);
    if (!w.last_ts_wall) w.last_ts_wall.emplace();
    w.last_ts_wall->assign(r.ts_wall);
    expected_id = r.record_id + 1;
    chain_head = stored;
    w.last = RecordPosition{index, r.record_id, offset};
    if (trusted) w.pinned_at = w.last;
    trusted = false;
    offset = f.next_offset();
  }
  publish(ctx.progress, 0, offset - published);
  publish(ctx.progress, 1, 1);
  w.complete = true;
  w.head = chain_head;
  return w;
}

std::expected<bool, VerifyError> Join::take(SegmentWalk w, bool walked_apart) {
  LogSummary& log = report_.log;
  ++log.segments_inspected;
  log.last_segment_index = w.index;
  if (walked_apart && w.prev_final) {
    if (auto gap = discontinuity(w.index, carry_.previous_final, *w.prev_final)) {
      SegmentWalk cut;
      cut.index = w.index;
      cut.violation = std::move(gap);
      w = std::move(cut);
    } else if (w.first_time && regressed(carry_.previous_time, *w.first_time)) {
      // Walked again with the carry, so the regression is reported, and the
      // walk stops, exactly where one walk from the start would.
      w = walk_segment(ctx_, w.index, &carry_, w.start);
    }
  }
  if (w.error) return std::unexpected(std::move(*w.error));

  log.records_inspected += w.records;
  if (w.last_time) {
    carry_.previous_time = w.last_time;
    carry_.previous_session = w.last_session;
  }
  checkpoint_found_ = checkpoint_found_ || w.checkpoint_found;
  if (!span.first_ts_wall) span.first_ts_wall = std::move(w.first_ts_wall);
  if (w.last_ts_wall) span.last_ts_wall = std::move(w.last_ts_wall);
  span.pending_bytes += w.pending;
  if (w.pinned_at) span.start = w.pinned_at;

  if (w.violation) return report_.add_violation(std::move(*w.violation), ctx_.options.forensic);
  if (w.start.pinned && !w.pinned_at) {
    const Checkpoint& checkpoint = *ctx_.options.checkpoint;
    // The pinned record is gone: nothing after it can be chained to it.
    report_.add_violation(
        violations::checkpoint_truncated(checkpoint.segment, checkpoint.record_id, hex(checkpoint.hmac),
                                         checkpoint.observed_at, log.last_segment_index, log.records_inspected),
        ctx_.options.forensic);
    return false;
  }
  if (w.complete) {
    carry_.previous_final = w.head;
    head = VerifiedHead{w.index, w.last ? std::optional(w.last->record_id) : std::nullopt, w.last ? w.last->offset : 0};
    if (w.last) span.end = w.last;
  }
  return true;
}

void Join::finish() {
  LogSummary& log = report_.log;
  if (carry_.previous_final) log.final_hmac_hex = hex(*carry_.previous_final);
  const std::optional<Checkpoint>& checkpoint = ctx_.options.checkpoint;
  if (checkpoint && !checkpoint_found_ && !report_.violation) {
    report_.add_violation(
        violations::checkpoint_truncated(checkpoint->segment, checkpoint->record_id, hex(checkpoint->hmac),
                                         checkpoint->observed_at, log.last_segment_index, log.records_inspected),
        ctx_.options.forensic);
  }
}

}  // namespace corvane::detail
