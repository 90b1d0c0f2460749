// The narrow reading of a record that recovery needs: five fields, found by
// walking the top-level map and skipping every other value undecoded, so the
// payload of a record is never built.
#include <optional>

#include "writer/recovery_internal.h"

namespace corvane::detail {

namespace {

constexpr std::uint8_t kMajorMap = 5;

// The pair count of a top-level map head, and the offset after the head.
std::optional<std::pair<std::uint64_t, std::size_t>> map_head(ByteView record) {
  if (record.empty() || (record[0] >> 5) != kMajorMap) return std::nullopt;
  const std::uint8_t info = record[0] & 0x1f;
  if (info < 24) return std::pair{std::uint64_t{info}, std::size_t{1}};
  if (info > 27) return std::nullopt;
  const std::size_t n = std::size_t{1} << (info - 24);
  if (record.size() < 1 + n) return std::nullopt;
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count = (count << 8) | record[1 + i];
  return std::pair{count, 1 + n};
}

}  // namespace

std::expected<RecoveryRecordView, std::string> parse_recovery_view(ByteView record) {
  const auto head = map_head(record);
  if (!head) return std::unexpected("record is not a CBOR map");
  std::size_t pos = head->second;

  std::optional<std::uint64_t> record_id, ts_mono_delta;
  std::optional<Mac> prev_hash;
  std::optional<std::string> ts_wall, event;
  // A wrong prev_hash length is reported only once every key is known to be
  // an unsigned integer.
  std::optional<std::string> bad_prev_hash;

  for (std::uint64_t i = 0; i < head->first; ++i) {
    CborValue key;
    if (auto r = decode_item(record, pos, 1, &key); !r) return std::unexpected(r.error().to_string());
    if (key.as_uint() == nullptr) return std::unexpected("non-uint map key");
    const std::uint64_t k = *key.as_uint();
    const bool wanted = k == 1 || k == 2 || k == 3 || k == 4 || k == 7;
    CborValue value;
    if (auto r = decode_item(record, pos, 1, wanted ? &value : nullptr); !r) {
      return std::unexpected(r.error().to_string());
    }
    if (!wanted) continue;
    if (k == 1 && value.as_uint() != nullptr) {
      record_id = *value.as_uint();
    } else if (k == 2 && value.as_bytes() != nullptr) {
      const Bytes& b = *value.as_bytes();
      if (b.size() != kMacLen) {
        bad_prev_hash = "prev_hash length: " + std::to_string(b.size());
      } else {
        prev_hash.emplace();
        std::copy(b.begin(), b.end(), prev_hash->begin());
      }
    } else if (k == 3 && value.as_text() != nullptr) {
      ts_wall = std::move(std::get<std::string>(value.v));
    } else if (k == 4 && value.as_uint() != nullptr) {
      ts_mono_delta = *value.as_uint();
    } else if (k == 7 && value.as_text() != nullptr) {
      event = std::move(std::get<std::string>(value.v));
    }
  }

  if (bad_prev_hash) return std::unexpected(std::move(*bad_prev_hash));
  if (!record_id) return std::unexpected("missing record_id");
  if (!prev_hash) return std::unexpected("missing prev_hash");
  if (!ts_wall) return std::unexpected("missing ts_wall");
  if (!ts_mono_delta) return std::unexpected("missing ts_mono_delta");
  if (!event) return std::unexpected("missing event");
  return RecoveryRecordView{*record_id, *prev_hash, std::move(*ts_wall), *ts_mono_delta, std::move(*event)};
}

}  // namespace corvane::detail
