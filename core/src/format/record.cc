#include "corvane/record.h"

#include <limits>

#include "cbor/encode_impl.h"

namespace corvane {

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::size_t text_len(std::size_t n) { return head_len(n) + n; }

// Everything but record_id, ts_wall, ts_mono_delta, actor, event, payload
// and schema_version: map head, ten one-byte keys, prev_hash, session_id and
// key_id with their heads.
constexpr std::size_t kFixedRecordLen = 1 + 10 + (2 + 32) + (1 + 16) + (2 + 32);

// The finalization payload: {"records": u64, "final_hash": bytes(32)}.
std::size_t finalization_payload_len(std::uint64_t records) {
  return 1 + text_len(7) + head_len(records) + text_len(10) + 2 + 32;
}

std::uint64_t saturating_inc(std::uint64_t v) { return v == kMaxU64 ? v : v + 1; }

}  // namespace

void append_record(Bytes& out, const AppendRecord& r, const SessionId& session_id, const KeyId& key_id,
                   const Mac& prev_hash, std::uint64_t record_id) {
  const std::size_t len = kFixedRecordLen + head_len(record_id) + text_len(r.ts_wall.size()) +
                          head_len(r.ts_mono_delta) + text_len(r.actor.size()) + text_len(r.event.size()) +
                          detail::payload_map_len_unbounded(r.payload) + head_len(r.schema_version);
  append_record(out, r, session_id, key_id, prev_hash, record_id, len);
}

void append_record(Bytes& out, const AppendRecord& r, const SessionId& session_id, const KeyId& key_id,
                   const Mac& prev_hash, std::uint64_t record_id, std::size_t len) {
  using detail::put_head;
  using detail::put_raw;
  using detail::put_text;
  const std::size_t old = out.size();
  out.resize(old + len);
  std::uint8_t* p = out.data() + old;
  // Keys 1..10 in ascending order: already canonical.
  p = put_head(p, 5, 10);
  *p++ = 1;
  p = put_head(p, 0, record_id);
  *p++ = 2;
  p = put_raw(put_head(p, 2, prev_hash.size()), prev_hash.data(), prev_hash.size());
  *p++ = 3;
  p = put_text(p, r.ts_wall);
  *p++ = 4;
  p = put_head(p, 0, r.ts_mono_delta);
  *p++ = 5;
  p = put_raw(put_head(p, 2, session_id.size()), session_id.data(), session_id.size());
  *p++ = 6;
  p = put_text(p, r.actor);
  *p++ = 7;
  p = put_text(p, r.event);
  *p++ = 8;
  p = detail::put_payload_map(p, r.payload);
  *p++ = 9;
  p = put_raw(put_head(p, 2, key_id.size()), key_id.data(), key_id.size());
  *p++ = 10;
  put_head(p, 0, r.schema_version);
}

Bytes encode_record(const AppendRecord& record, const SessionId& session_id, const KeyId& key_id,
                    const Mac& prev_hash, std::uint64_t record_id) {
  Bytes out;
  append_record(out, record, session_id, key_id, prev_hash, record_id);
  return out;
}

std::optional<std::uint64_t> encoded_record_len(const AppendRecord& r, std::uint64_t record_id) {
  // The payload map sits at depth 1 under the record map.
  auto payload = payload_map_encoded_len(r.payload, 1);
  if (!payload) return std::nullopt;
  return kFixedRecordLen + head_len(record_id) + text_len(r.ts_wall.size()) + head_len(r.ts_mono_delta) +
         text_len(r.actor.size()) + text_len(r.event.size()) + *payload + head_len(r.schema_version);
}

std::string finalization_ts_wall(std::string_view last) {
  if (last.size() != 24) return std::string(last);
  // Milliseconds at bytes 20..22: three ASCII digits, or a plus sign and two.
  // Anything else keeps the text as it is: rewriting bytes 20..23 of a text
  // whose byte 20 is not ASCII would cut a multi-byte character in two.
  std::string_view ms = last.substr(20, 3);
  if (ms[0] == '+') ms.remove_prefix(1);
  unsigned m = 0;
  for (char c : ms) {
    if (c < '0' || c > '9') return std::string(last);
    m = m * 10 + static_cast<unsigned>(c - '0');
  }
  if (m >= 999) return std::string(last);  // never roll into the next second
  const unsigned next = m + 1;
  std::string out(last.substr(0, 20));
  out.push_back(static_cast<char>('0' + next / 100));
  out.push_back(static_cast<char>('0' + next / 10 % 10));
  out.push_back(static_cast<char>('0' + next % 10));
  out.push_back('Z');
  return out;
}

AppendRecord make_finalization_record(std::string_view last_ts_wall, std::uint64_t last_ts_mono_delta,
                                      std::uint64_t records, const Mac& final_hash) {
  AppendRecord fin;
  fin.ts_wall = finalization_ts_wall(last_ts_wall);
  fin.actor = kFinalizationActor;
  fin.event = kFinalizationEvent;
  fin.ts_mono_delta = saturating_inc(last_ts_mono_delta);
  fin.schema_version = 1;
  std::vector<PayloadMap::Entry> entries;
  entries.emplace_back("records", PayloadValue::uint(records));
  entries.emplace_back("final_hash", PayloadValue::bytes(Bytes(final_hash.begin(), final_hash.end())));
  fin.payload = PayloadMap::from_unsorted(std::move(entries));
  return fin;
}

std::uint64_t encoded_finalization_len(std::size_t ts_wall_len, std::uint64_t last_ts_mono_delta,
                                       std::uint64_t records, std::uint64_t record_id) {
  // The derived ts_wall always has the length of the one it came from.
  return kFixedRecordLen + head_len(record_id) + text_len(ts_wall_len) +
         head_len(saturating_inc(last_ts_mono_delta)) + text_len(12) + text_len(17) +
         finalization_payload_len(records) + head_len(1);
}

}  // namespace corvane
