// The shape every record the writer makes has: a map of kRecordFields
// entries, the keys in order, each field of its own type and length. The
// fast paths of the reader and the verifier read it in one pass, straight
// from the bytes and by the strict decoder's rules; whatever is not in this
// shape goes to the full decoder, which words the error.
#pragma once

#include <cstdint>
#include <string_view>

#include "cbor/strict_head.h"
#include "corvane/format.h"

namespace corvane::detail {

// Strings and fixed-length byte fields point into the record's bytes.
struct RecordShape {
  std::uint64_t record_id = 0;
  const std::uint8_t* prev_hash = nullptr;  // sizeof(Mac) bytes
  std::string_view ts_wall;
  std::uint64_t ts_mono_delta = 0;
  const std::uint8_t* session_id = nullptr;  // sizeof(SessionId) bytes
  std::string_view actor;
  std::string_view event;
  const std::uint8_t* key_id = nullptr;  // sizeof(KeyId) bytes
  std::uint64_t schema_version = 0;
};

// True when `record` is exactly one record in the writer's shape; `payload`
// reads the payload field, from `p` (before its head) up to `end`, moving
// `p` past it, and says whether it takes it. `out` is unspecified after
// false.
template <class PayloadReader>
[[gnu::always_inline]] inline bool read_record_shape(ByteView record, RecordShape& out, PayloadReader&& payload) {
  const std::uint8_t* p = record.data();
  const std::uint8_t* const end = p + record.size();
  const auto key = [&](RecordKey k) { return key_byte(p, end, static_cast<std::uint8_t>(k)); };
  return key_byte(p, end, kRecordMapHead) &&                                                      //
         key(RecordKey::kRecordId) && uint_field(p, end, out.record_id) &&                        //
         key(RecordKey::kPrevHash) && bytes_field<sizeof(Mac)>(p, end, out.prev_hash) &&          //
         key(RecordKey::kTsWall) && text_field(p, end, out.ts_wall) &&                            //
         key(RecordKey::kTsMonoDelta) && uint_field(p, end, out.ts_mono_delta) &&                 //
         key(RecordKey::kSessionId) && bytes_field<sizeof(SessionId)>(p, end, out.session_id) &&  //
         key(RecordKey::kActor) && text_field(p, end, out.actor) &&                               //
         key(RecordKey::kEvent) && text_field(p, end, out.event) &&                               //
         key(RecordKey::kPayload) && payload(p, end) &&                                           //
         key(RecordKey::kKeyId) && bytes_field<sizeof(KeyId)>(p, end, out.key_id) &&              //
         key(RecordKey::kSchemaVersion) && uint_field(p, end, out.schema_version) && p == end;
}

}  // namespace corvane::detail
