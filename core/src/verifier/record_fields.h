// The verifier's reading of a record map: only the fields it checks, taken
// straight from bytes that already passed the canonical check, without
// building a decoded value.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "corvane/cbor.h"
#include "corvane/format.h"

namespace corvane::detail {

// A field whose value has another type or length keeps its default here.
struct RecordFields {
  std::uint64_t record_id = 0;
  Mac prev_hash{};
  std::string_view ts_wall;  // points into the record bytes
  SessionId session_id{};
  KeyId key_id{};
};

// The common case in one pass: true when `record` is one canonical item of
// the subset in the writer's shape (RecordShape, with a payload map under
// text keys); `out` then holds its fields. False means only "not judged
// here": the caller runs the full decoder, which gives the exact error, then
// read_record_fields. It never accepts what the decoder refuses. `out` is
// unspecified after false.
[[nodiscard]] bool scan_record(ByteView record, RecordFields& out);

// `record` must have passed validate_canonical. Fails, with the message a
// violation carries, when the item is not a map of kRecordFields entries
// under unsigned keys.
[[nodiscard]] std::expected<RecordFields, std::string> read_record_fields(ByteView record);

}  // namespace corvane::detail
