// The record: a canonical CBOR map of the fields named by RecordKey, MACed
// and chained through prev_hash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "corvane/cbor.h"
#include "corvane/format.h"

namespace corvane {

// The caller-supplied part of a record.
struct AppendRecord {
  std::string ts_wall;
  std::string actor;
  std::string event;
  std::uint64_t ts_mono_delta = 0;
  PayloadMap payload;
  std::uint32_t schema_version = 1;
};

// Canonical bytes of the full record.
Bytes encode_record(const AppendRecord& record, const SessionId& session_id, const KeyId& key_id, const Mac& prev_hash,
                    std::uint64_t record_id);
// Same, appended to `out` (its capacity is reused; nothing else allocates).
void append_record(Bytes& out, const AppendRecord& record, const SessionId& session_id, const KeyId& key_id,
                   const Mac& prev_hash, std::uint64_t record_id);
// Same, for a caller already holding encoded_record_len(record, record_id),
// which `encoded_len` must equal: the writer measures every record anyway.
void append_record(Bytes& out, const AppendRecord& record, const SessionId& session_id, const KeyId& key_id,
                   const Mac& prev_hash, std::uint64_t record_id, std::size_t encoded_len);

// Exact length of encode_record's result, computed without encoding. Nullopt
// when the payload nests deeper than a reader accepts (some item at depth
// MAX_CBOR_DEPTH or more, the record map being depth 0).
std::optional<std::uint64_t> encoded_record_len(const AppendRecord& record, std::uint64_t record_id);

// The record_id (the Uint under RecordKey::kRecordId) of a buffer holding one
// encoded record map; nullopt when the buffer is not one canonical item, is
// not a map, or has no Uint under that key. It names a record whose MAC
// does not match, so it asks nothing else of the record.
std::optional<std::uint64_t> record_id_of(ByteView buffer);

// The finalization record closing a segment.
AppendRecord make_finalization_record(std::string_view last_ts_wall, std::uint64_t last_ts_mono_delta,
                                      std::uint64_t records, const Mac& final_hash);
// The finalization ts_wall derived from the last record's ts_wall: one
// millisecond later, never rolling into the next second; the same text when
// it is not 24 bytes long or its milliseconds are not a number.
std::string finalization_ts_wall(std::string_view last_ts_wall);
// Exact encoded length of a finalization record, without building it.
std::uint64_t encoded_finalization_len(std::size_t ts_wall_len, std::uint64_t last_ts_mono_delta, std::uint64_t records,
                                       std::uint64_t record_id);

}  // namespace corvane
