#include "verifier/record_fields.h"

#include <algorithm>

namespace corvane::detail {

namespace {

struct Head {
  std::uint8_t major = 0;
  std::uint64_t arg = 0;
};

// The input has been validated, so these bounds checks never fail; they only
// keep a fault elsewhere from turning into a read past the buffer.
bool read_head(const std::uint8_t*& p, const std::uint8_t* end, Head& h) {
  if (p >= end) return false;
  const std::uint8_t initial = *p++;
  h.major = initial >> 5;
  const std::uint8_t info = initial & 31;
  if (info < 24) {
    h.arg = info;
    return true;
  }
  if (info > 27) return false;
  const std::size_t n = std::size_t{1} << (info - 24);
  if (static_cast<std::size_t>(end - p) < n) return false;
  h.arg = 0;
  for (std::size_t i = 0; i < n; ++i) h.arg = (h.arg << 8) | p[i];
  p += n;
  return true;
}

// Moves past the rest of an item whose head is `h`, nested items included.
bool skip_rest(const std::uint8_t*& p, const std::uint8_t* end, Head h) {
  std::uint64_t pending = 0;
  for (;;) {
    const auto left = static_cast<std::uint64_t>(end - p);
    switch (h.major) {
      case 2:
      case 3:
        if (h.arg > left) return false;
        p += h.arg;
        break;
      case 4:
        if (h.arg > left) return false;
        pending += h.arg;
        break;
      case 5:
        if (h.arg > left) return false;
        pending += 2 * h.arg;
        break;
      default:
        break;
    }
    if (pending == 0) return true;
    --pending;
    if (!read_head(p, end, h)) return false;
  }
}

template <std::size_t N>
void take_bytes(const std::uint8_t* p, const Head& h, std::array<std::uint8_t, N>& out) {
  if (h.major == 2 && h.arg == N) std::copy_n(p, N, out.begin());
}

}  // namespace

std::expected<RecordFields, std::string> read_record_fields(ByteView record) {
  const std::uint8_t* p = record.data();
  const std::uint8_t* const end = p + record.size();
  Head map;
  if (!read_head(p, end, map) || map.major != 5) return std::unexpected("record payload is not a CBOR map");
  if (map.arg != 10) return std::unexpected("record map has " + std::to_string(map.arg) + " entries (expected 10)");

  RecordFields f;
  for (int i = 0; i < 10; ++i) {
    Head key;
    Head value;
    if (!read_head(p, end, key)) return std::unexpected("record map truncated");
    if (key.major != 0) return std::unexpected("record map key not a uint");
    if (!read_head(p, end, value)) return std::unexpected("record map truncated");
    const bool content_present = static_cast<std::uint64_t>(end - p) >= value.arg;
    switch (key.arg) {
      case 1:
        if (value.major == 0) f.record_id = value.arg;
        break;
      case 2:
        if (content_present) take_bytes(p, value, f.prev_hash);
        break;
      case 3:
        if (value.major == 3 && content_present) {
          f.ts_wall = std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(value.arg));
        }
        break;
      case 5:
        if (content_present) take_bytes(p, value, f.session_id);
        break;
      case 9:
        if (content_present) take_bytes(p, value, f.key_id);
        break;
      default:
        break;  // not checked by the verifier; keys beyond 10 are ignored
    }
    if (!skip_rest(p, end, value)) return std::unexpected("record map truncated");
  }
  return f;
}

}  // namespace corvane::detail
