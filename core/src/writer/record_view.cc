// The narrow reading of a record that recovery needs: five fields, found by
// walking the top-level map and skipping every other value, so the payload
// of a record is never built.
#include <algorithm>
#include <optional>

#include "cbor/strict_head.h"
#include "writer/recovery_internal.h"

namespace corvane::detail {

std::expected<RecoveryRecordView, std::string> parse_recovery_view(ByteView record) {
  const std::uint8_t* p = record.data();
  const std::uint8_t* const end = p + record.size();
  Head map;
  if (!head_ok(p, end, map) || map.major != kMajorMap) return std::unexpected("record is not a CBOR map");

  std::optional<std::uint64_t> record_id, ts_mono_delta;
  std::optional<Mac> prev_hash;
  std::optional<std::string_view> ts_wall, event;
  // A wrong prev_hash length is reported only once every key is known to be
  // an unsigned integer.
  std::optional<std::string> bad_prev_hash;

  // The record is canonical, so no head read fails and every string's
  // content is there; the checks only guard against a caller that broke that.
  for (std::uint64_t i = 0; i < map.arg; ++i) {
    Head key;
    Head value;
    if (!head_ok(p, end, key)) return std::unexpected("record map truncated");
    if (key.major != kMajorUint) return std::unexpected("non-uint map key");
    if (!head_ok(p, end, value) || !skip_rest(p, end, value)) return std::unexpected("record map truncated");
    // A string's content ends where skip_rest left off.
    const auto text = [&] {
      return std::string_view(reinterpret_cast<const char*>(p) - value.arg, static_cast<std::size_t>(value.arg));
    };
    switch (key.arg) {
      case static_cast<std::uint64_t>(RecordKey::kRecordId):
        if (value.major == kMajorUint) record_id = value.arg;
        break;
      case static_cast<std::uint64_t>(RecordKey::kPrevHash):
        if (value.major != kMajorBytes) break;
        if (value.arg != kMacLen) {
          bad_prev_hash = "prev_hash length: " + std::to_string(value.arg);
        } else {
          prev_hash.emplace();
          std::copy_n(p - kMacLen, kMacLen, prev_hash->begin());
        }
        break;
      case static_cast<std::uint64_t>(RecordKey::kTsWall):
        if (value.major == kMajorText) ts_wall = text();
        break;
      case static_cast<std::uint64_t>(RecordKey::kTsMonoDelta):
        if (value.major == kMajorUint) ts_mono_delta = value.arg;
        break;
      case static_cast<std::uint64_t>(RecordKey::kEvent):
        if (value.major == kMajorText) event = text();
        break;
      default: break;
    }
  }

  if (bad_prev_hash) return std::unexpected(std::move(*bad_prev_hash));
  if (!record_id) return std::unexpected("missing record_id");
  if (!prev_hash) return std::unexpected("missing prev_hash");
  if (!ts_wall) return std::unexpected("missing ts_wall");
  if (!ts_mono_delta) return std::unexpected("missing ts_mono_delta");
  if (!event) return std::unexpected("missing event");
  return RecoveryRecordView{*record_id, *prev_hash, std::string(*ts_wall), *ts_mono_delta, std::string(*event)};
}

}  // namespace corvane::detail
