// The strict decoder: whatever it accepts re-encodes to exactly the same
// bytes (by an encoder written apart from it, and by the core's payload
// encoder where the item is a payload value); its validating and building
// forms agree on every input, error included; record_id_of agrees with it.
#include <bit>

#include "support.h"

using namespace corvane;

namespace {

// Map pairs sorted by encoded key, shorter first, then bytewise.
Bytes encode(const CborValue& v) {
  Bytes out;
  const auto head = [&](int major, std::uint64_t arg) {
    const int width = arg < 24 ? 0 : arg <= 0xFF ? 1 : arg <= 0xFFFF ? 2 : arg <= 0xFFFFFFFFu ? 4 : 8;
    out.push_back(static_cast<std::uint8_t>(major << 5 | (width == 0 ? arg : 23 + std::bit_width(unsigned(width)))));
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(arg >> (8 * i)));
  };
  const auto append = [&](const auto& range) { out.insert(out.end(), range.begin(), range.end()); };
  if (auto u = v.as_uint()) head(0, *u);
  if (auto n = v.as_nint()) head(1, ~static_cast<std::uint64_t>(*n));
  if (auto b = v.as_bytes()) head(2, b->size()), append(*b);
  if (auto t = v.as_text()) head(3, t->size()), append(*t);
  if (auto b = v.as_bool()) out.push_back(*b ? 0xF5 : 0xF4);
  if (auto a = v.as_array()) head(4, a->size()), std::ranges::for_each(*a, [&](const auto& item) { append(encode(item)); });
  if (auto m = v.as_map()) {
    std::vector<std::pair<Bytes, Bytes>> pairs;
    for (const auto& [k, x] : *m) pairs.emplace_back(encode(k), encode(x));
    std::ranges::sort(pairs, {}, [](const auto& p) { return std::pair(p.first.size(), p.first); });
    head(5, pairs.size());
    for (const auto& [k, x] : pairs) append(k), append(x);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const Bytes bytes(input.begin(), input.end());
  const auto decoded = decode_canonical(input);
  const auto validated = validate_canonical(input);
  std::size_t walked = 0, built_at = 0;
  const auto walk = decode_item(input, walked, 0, nullptr);
  const auto built = decode_item(input, built_at, 0);

  FUZZ_CHECK(walk ? built && walked == built_at && walked <= size : !built && walk.error() == built.error());

  if (!decoded) {
    const CborError& e = decoded.error();
    FUZZ_CHECK_MSG(!validated && validated.error() == e, e.to_string());
    FUZZ_CHECK(e.offset <= size && (e.kind != CborError::Kind::kTruncated || e.count > 0) && !record_id_of(input));
    // A whole item followed by more bytes, or the same error as the item walk.
    FUZZ_CHECK(walk ? e.kind == CborError::Kind::kTrailingBytes && e.offset == walked && e.count == size - walked : walk.error() == e);
    return 0;
  }

  FUZZ_CHECK(validated && walk && walked == size && *built == *decoded);
  const std::string shown = debug_string(*decoded);
  FUZZ_CHECK_MSG(encode(*decoded) == bytes, shown);

  const CborValue* id = decoded->as_map() ? fuzz::value_at(*decoded->as_map(), 1) : nullptr;
  FUZZ_CHECK(record_id_of(input) == (id && id->as_uint() ? std::optional(*id->as_uint()) : std::nullopt));
  // Items whose maps all have text keys are payload values: the core's own
  // encoder must give the same bytes back, and predict their length.
  if (auto payload = payload_from_cbor(*decoded, 0, 0))
    FUZZ_CHECK(encode_payload_value(*payload) == bytes && payload_encoded_len(*payload, 0) == std::optional(size));
  return 0;
}
