// The strict decoder: whatever it accepts re-encodes to exactly the same
// bytes (by an encoder written apart from it, and by the core's payload
// encoder where the item is a payload value); its validating and building
// forms agree on every input, error included; record_id_of agrees with it.
#include "corvane/cbor.h"
#include "corvane/reader.h"
#include "support.h"
#include "targets.h"

using namespace corvane;

namespace {

std::string both(const CborError& a, const CborError& b) { return a.to_string() + " | " + b.to_string(); }

std::optional<std::uint64_t> record_id_in(const CborValue& value) {
  const CborMap* map = value.as_map();
  if (map == nullptr) return std::nullopt;
  for (const auto& [k, v] : *map) {
    if (k.as_uint() != nullptr && *k.as_uint() == 1 && v.as_uint() != nullptr) return *v.as_uint();
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto decoded = decode_canonical(input);
  const auto validated = validate_canonical(input);
  std::size_t walked = 0;
  const auto walk = decode_item(input, walked, 0, nullptr);
  std::size_t built_at = 0;
  const auto built = decode_item(input, built_at, 0);

  FUZZ_CHECK(walk.has_value() == built.has_value());
  if (walk) {
    FUZZ_CHECK(walked == built_at && walked <= size);
  } else {
    FUZZ_CHECK_MSG(walk.error() == built.error(), both(walk.error(), built.error()));
  }

  if (!decoded) {
    const CborError& e = decoded.error();
    FUZZ_CHECK_MSG(!validated && validated.error() == e, validated ? e.to_string() : both(validated.error(), e));
    FUZZ_CHECK(e.offset <= size);
    if (e.kind == CborError::Kind::kTruncated) FUZZ_CHECK(e.count > 0);
    if (walk) {
      FUZZ_CHECK(e.kind == CborError::Kind::kTrailingBytes && e.offset == walked && e.count == size - walked);
    } else {
      FUZZ_CHECK_MSG(walk.error() == e, both(walk.error(), e));
    }
    FUZZ_CHECK(!record_id_of(input));
    return 0;
  }

  FUZZ_CHECK(validated.has_value());
  FUZZ_CHECK(walk && walked == size && *built == *decoded);
  FUZZ_CHECK_MSG(fuzz::encode_cbor(*decoded) == Bytes(input.begin(), input.end()), debug_string(*decoded));
  FUZZ_CHECK(record_id_of(input) == record_id_in(*decoded));
  (void)debug_string(*decoded);

  // Items whose maps all have text keys are payload values: the core's own
  // encoder must give the same bytes back, and predict their length.
  if (auto payload = payload_from_cbor(*decoded, 0, 0)) {
    FUZZ_CHECK(encode_payload_value(*payload) == Bytes(input.begin(), input.end()));
    FUZZ_CHECK(payload_encoded_len(*payload, 0) == std::optional<std::size_t>(size));
  }
  return 0;
}
