#include "corvane/record.h"

#include <limits>

#include "cbor/encode_impl.h"

namespace corvane {

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

constexpr std::size_t string_len(std::size_t n) { return head_len(n) + n; }
constexpr std::size_t text_len(std::string_view s) { return string_len(s.size()); }

// Everything but record_id, ts_wall, ts_mono_delta, actor, event, payload
// and schema_version: the map head, the one-byte keys, and prev_hash,
// session_id and key_id with their heads.
constexpr std::size_t kFixedRecordLen = head_len(kRecordFields) + kRecordFields + string_len(sizeof(Mac)) +
                                        string_len(sizeof(SessionId)) + string_len(sizeof(KeyId));

// The finalization payload: {"records": u64, "final_hash": bytes(32)}.
constexpr std::string_view kRecordsKey = "records";
constexpr std::string_view kFinalHashKey = "final_hash";
std::size_t finalization_payload_len(std::uint64_t records) {
  return head_len(2) + text_len(kRecordsKey) + head_len(records) + text_len(kFinalHashKey) + string_len(sizeof(Mac));
}

std::uint8_t* put_key(std::uint8_t* p, RecordKey key) {
  *p = static_cast<std::uint8_t>(key);  // below 24: its own head
  return p + 1;
}

std::uint64_t saturating_inc(std::uint64_t v) { return v == kMaxU64 ? v : v + 1; }

}  // namespace

void append_record(Bytes& out, const AppendRecord& r, const SessionId& session_id, const KeyId& key_id,
                   const Mac& prev_hash, std::uint64_t record_id) {
  const std::size_t len = kFixedRecordLen + head_len(record_id) + text_len(r.ts_wall) + head_len(r.ts_mono_delta) +
                          text_len(r.actor) + text_len(r.event) + detail::payload_map_len_unbounded(r.payload) +
                          head_len(r.schema_version);
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
  // The keys in ascending order: already canonical.
  p = put_head(p, kMajorMap, kRecordFields);
  p = put_head(put_key(p, RecordKey::kRecordId), kMajorUint, record_id);
  p = put_head(put_key(p, RecordKey::kPrevHash), kMajorBytes, prev_hash.size());
  p = put_raw(p, prev_hash.data(), prev_hash.size());
  p = put_text(put_key(p, RecordKey::kTsWall), r.ts_wall);
  p = put_head(put_key(p, RecordKey::kTsMonoDelta), kMajorUint, r.ts_mono_delta);
  p = put_head(put_key(p, RecordKey::kSessionId), kMajorBytes, session_id.size());
  p = put_raw(p, session_id.data(), session_id.size());
  p = put_text(put_key(p, RecordKey::kActor), r.actor);
  p = put_text(put_key(p, RecordKey::kEvent), r.event);
  p = detail::put_payload_map(put_key(p, RecordKey::kPayload), r.payload);
  p = put_head(put_key(p, RecordKey::kKeyId), kMajorBytes, key_id.size());
  p = put_raw(p, key_id.data(), key_id.size());
  put_head(put_key(p, RecordKey::kSchemaVersion), kMajorUint, r.schema_version);
}

Bytes encode_record(const AppendRecord& record, const SessionId& session_id, const KeyId& key_id, const Mac& prev_hash,
                    std::uint64_t record_id) {
  Bytes out;
  append_record(out, record, session_id, key_id, prev_hash, record_id);
  return out;
}

std::optional<std::uint64_t> encoded_record_len(const AppendRecord& r, std::uint64_t record_id) {
  // The payload map sits at depth 1 under the record map.
  auto payload = payload_map_encoded_len(r.payload, 1);
  if (!payload) return std::nullopt;
  return kFixedRecordLen + head_len(record_id) + text_len(r.ts_wall) + head_len(r.ts_mono_delta) + text_len(r.actor) +
         text_len(r.event) + *payload + head_len(r.schema_version);
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
  entries.emplace_back(kRecordsKey, PayloadValue::uint(records));
  entries.emplace_back(kFinalHashKey, PayloadValue::bytes(Bytes(final_hash.begin(), final_hash.end())));
  fin.payload = PayloadMap::from_unsorted(std::move(entries));
  return fin;
}

std::uint64_t encoded_finalization_len(std::size_t ts_wall_len, std::uint64_t last_ts_mono_delta, std::uint64_t records,
                                       std::uint64_t record_id) {
  // The derived ts_wall always has the length of the one it came from.
  return kFixedRecordLen + head_len(record_id) + string_len(ts_wall_len) +
         head_len(saturating_inc(last_ts_mono_delta)) + text_len(kFinalizationActor) + text_len(kFinalizationEvent) +
         finalization_payload_len(records) + head_len(1);
}

std::optional<std::uint64_t> record_id_of(ByteView buffer) {
  auto value = decode_canonical(buffer);
  const CborMap* map = value ? value->as_map() : nullptr;
  if (map == nullptr) return std::nullopt;
  const auto key = CborValue::uint(static_cast<std::uint64_t>(RecordKey::kRecordId));
  for (const auto& [k, v] : *map) {
    if (k == key) return v.as_uint() ? std::optional(*v.as_uint()) : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace corvane
