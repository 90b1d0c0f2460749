#include "corvane/verifier.h"

#include <algorithm>
#include <cstring>

#include "verifier/segment_walk.h"

namespace corvane {

namespace {

// Signed decimal with an optional sign, digits only; nullopt otherwise.
std::optional<std::int64_t> parse_field(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return negative ? -v : v;
}

std::int64_t field_at(std::string_view ts, std::size_t at, std::size_t len) {
  return parse_field(ts.substr(at, len)).value_or(0);
}

// Days since 1970-01-01 of a proleptic Gregorian date (eras of 400 years,
// years starting on 1 March). Fields are not range-checked.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Whether a 24-byte ts_wall reads exactly "dddd-dd-ddTdd:dd:dd.dddZ", eight
// bytes at a time: XOR with the shape leaves 0-9 at digit positions and 0 at
// the others; adding 6 to a digit position then stays below 0x10. (A byte
// that carries into its neighbour has failed already.)
bool usual_shape(std::string_view ts) {
  static constexpr char kShape[] = "0000-00-00T00:00:00.000Z";
  struct Masks {
    std::uint8_t shape[24];
    std::uint8_t add[24];
    std::uint8_t keep[24];
  };
  static constexpr Masks kMasks = [] {
    Masks m{};
    for (std::size_t i = 0; i < 24; ++i) {
      const bool digit = kShape[i] == '0';
      m.shape[i] = static_cast<std::uint8_t>(kShape[i]);
      m.add[i] = digit ? 0x06 : 0x00;
      m.keep[i] = digit ? 0xF0 : 0xFF;
    }
    return m;
  }();
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < 24; i += 8) {
    std::uint64_t word, shape, add, keep;
    std::memcpy(&word, ts.data() + i, 8);
    std::memcpy(&shape, kMasks.shape + i, 8);
    std::memcpy(&add, kMasks.add + i, 8);
    std::memcpy(&keep, kMasks.keep + i, 8);
    const std::uint64_t v = word ^ shape;
    bad |= (v | (v + add)) & keep;
  }
  return bad == 0;
}

}  // namespace

std::int64_t ts_wall_to_ms(std::string_view ts) {
  if (ts.size() != 24) return 0;
  if (usual_shape(ts)) {
    auto d = [&](std::size_t at) { return static_cast<std::int64_t>(ts[at] - '0'); };
    const std::int64_t days =
        days_from_civil(d(0) * 1000 + d(1) * 100 + d(2) * 10 + d(3), d(5) * 10 + d(6), d(8) * 10 + d(9));
    return days * 86400000 + (d(11) * 10 + d(12)) * 3600000 + (d(14) * 10 + d(15)) * 60000 +
           (d(17) * 10 + d(18)) * 1000 + d(20) * 100 + d(21) * 10 + d(22);
  }
  const std::int64_t days = days_from_civil(field_at(ts, 0, 4), field_at(ts, 5, 2), field_at(ts, 8, 2));
  return days * 86400000 + field_at(ts, 11, 2) * 3600000 + field_at(ts, 14, 2) * 60000 + field_at(ts, 17, 2) * 1000 +
         field_at(ts, 20, 3);
}

std::expected<VerifyReport, VerifyError> verify(const std::string& dir, const KeyHandle& key,
                                                const VerifyOptions& options, VerifiedHead* head) {
  SpanOptions sequential;
  sequential.verify = options;
  auto result = detail::run_verification(dir, key, sequential, head);
  if (!result) return std::unexpected(std::move(result.error()));
  return std::move(result->report);
}

}  // namespace corvane
