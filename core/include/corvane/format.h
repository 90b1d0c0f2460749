// Sizes, offsets and magic numbers of the on-disk format, shared by the
// writer, the reader and the verifier so that nobody re-derives an offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "corvane/types.h"

namespace corvane {

inline constexpr std::uint16_t kFormatVersion = 1;
// The project's version, from the one place it is set (the build).
extern const char* const kCoreVersion;

using SessionId = std::array<std::uint8_t, 16>;

// Segment header: 80 bytes, little-endian integers.
inline constexpr std::size_t kHeaderLen = 80;
inline constexpr std::array<std::uint8_t, 4> kMagic = {'C', 'V', 'A', 'U'};
inline constexpr std::size_t kHeaderMagicOffset = 0;
inline constexpr std::size_t kHeaderVersionOffset = 4;
inline constexpr std::size_t kHeaderIndexOffset = 6;
inline constexpr std::size_t kHeaderKeyIdOffset = 8;
inline constexpr std::size_t kHeaderPrevFinalOffset = 40;
inline constexpr std::size_t kHeaderCrcOffset = 72;
inline constexpr std::size_t kHeaderReservedOffset = 76;
// The CRC, and the genesis MAC, cover bytes [0, 72).
inline constexpr std::size_t kHeaderSignedLen = 72;

// Frame: u32 length L, L record bytes, 32-byte MAC, u32 length again.
inline constexpr std::size_t kFrameLenField = 4;
inline constexpr std::size_t kMacLen = 32;
inline constexpr std::size_t kFrameOverhead = kFrameLenField + kMacLen + kFrameLenField;  // 40

// Recovery treats a longer length field as a torn frame; the writer refuses
// records that would not fit.
inline constexpr std::uint64_t MAX_RECORD_LEN = 33554432;

inline constexpr std::uint64_t kDefaultSegmentSizeBytes = 67108864;
inline constexpr std::uint16_t kMaxSegmentIndex = 65535;

// The record: a map under the unsigned keys 1..kRecordFields, written in
// this order. A key below 24 is its own one-byte CBOR head.
enum class RecordKey : std::uint8_t {
  kRecordId = 1,
  kPrevHash,
  kTsWall,
  kTsMonoDelta,
  kSessionId,
  kActor,
  kEvent,
  kPayload,
  kKeyId,
  kSchemaVersion,
};
inline constexpr std::size_t kRecordFields = 10;
static_assert(static_cast<std::size_t>(RecordKey::kSchemaVersion) == kRecordFields && kRecordFields < 24);

// The field's name in messages ("record_id", ...), indexed by key.
inline constexpr const char* kRecordFieldNames[kRecordFields + 1] = {
    "",      "record_id", "prev_hash", "ts_wall", "ts_mono_delta", "session_id",
    "actor", "event",     "payload",   "key_id",  "schema_version"};
inline constexpr const char* record_field_name(RecordKey key) {
  return kRecordFieldNames[static_cast<std::size_t>(key)];
}

// Every record is a map of kRecordFields entries (CBOR major type 5), so its
// first byte is always this.
inline constexpr std::uint8_t kRecordMapHead = (5 << 5) | kRecordFields;
static_assert(kRecordMapHead == 0xAA);

// Finalization record.
inline constexpr const char* kFinalizationActor = "system:audit";
inline constexpr const char* kFinalizationEvent = "segment.finalized";

inline std::uint16_t load_u16le(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t load_u32le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void store_u16le(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void store_u32le(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace corvane
