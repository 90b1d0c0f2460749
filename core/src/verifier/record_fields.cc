#include "verifier/record_fields.h"

#include <algorithm>
#include <cstring>

#include "cbor/strict_head.h"

namespace corvane::detail {

namespace {

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

namespace corvane::detail {

namespace {

// Checks the rest of the item whose head `h` (at `depth`) was just read,
// without recursion. Map keys must be scalars here; containers as keys are
// left to the full decoder.
bool check_item(const std::uint8_t*& p, const std::uint8_t* end, Head h, unsigned depth) {
  // Trivial, so the array below costs nothing until used.
  struct Level {
    std::uint64_t left;  // items still to come (keys and values for a map)
    const std::uint8_t* previous_key;
    std::size_t previous_key_len;
    bool map;
  };
  Level levels[MAX_CBOR_DEPTH];
  int top = -1;
  const std::uint8_t* start = nullptr;
  bool is_key = false;
  for (;;) {
    const unsigned d = depth + static_cast<unsigned>(top + 1);
    const auto left = static_cast<std::uint64_t>(end - p);
    switch (h.major) {
      case 2:
      case 3:
        if (h.arg > left) return false;
        if (h.major == 3 && !utf8_ok(p, static_cast<std::size_t>(h.arg))) return false;
        p += h.arg;
        break;
      case 4:
      case 5:
        if (is_key) return false;
        if (h.arg != 0) {
          // Every element takes a byte at least, which also bounds the counts.
          if (d + 1 >= MAX_CBOR_DEPTH || h.arg > left) return false;
          levels[++top] = Level{h.major == 5 ? 2 * h.arg : h.arg, nullptr, 0, h.major == 5};
        }
        break;
      default:
        break;
    }
    if (is_key) {
      const ByteView key(start, static_cast<std::size_t>(p - start));
      Level& level = levels[top];
      if (level.previous_key != nullptr &&
          !canonical_less(ByteView(level.previous_key, level.previous_key_len), key)) {
        return false;
      }
      level.previous_key = key.data();
      level.previous_key_len = key.size();
    }
    while (top >= 0 && levels[top].left == 0) --top;
    if (top < 0) return true;
    Level& level = levels[top];
    is_key = level.map && level.left % 2 == 0;
    --level.left;
    start = p;
    if (!read_strict_head(p, end, h)) return false;
  }
}


// The payload map: text keys in canonical order, flat values checked here,
// nested ones by check_item.
bool payload_map(const std::uint8_t*& p, const std::uint8_t* end) {
  Head map;
  if (!read_strict_head(p, end, map) || map.major != 5) return false;
  if (map.arg > static_cast<std::uint64_t>(end - p)) return false;
  const std::uint8_t* previous = nullptr;
  std::size_t previous_len = 0;
  for (std::uint64_t i = 0; i < map.arg; ++i) {
    const std::uint8_t* key = p;
    Head h;
    if (!read_strict_head(p, end, h) || h.major != 3 || h.arg > static_cast<std::uint64_t>(end - p) ||
        !utf8_ok(p, static_cast<std::size_t>(h.arg))) {
      return false;
    }
    p += h.arg;
    const auto key_len = static_cast<std::size_t>(p - key);
    // Canonical order: shorter encodings first, then bytewise.
    if (previous != nullptr && (key_len < previous_len ||
                                (key_len == previous_len && std::memcmp(previous, key, key_len) >= 0))) {
      return false;
    }
    previous = key;
    previous_len = key_len;
    if (!read_strict_head(p, end, h)) return false;
    if (h.major == 2 || h.major == 3) {
      if (h.arg > static_cast<std::uint64_t>(end - p)) return false;
      if (h.major == 3 && !utf8_ok(p, static_cast<std::size_t>(h.arg))) return false;
      p += h.arg;
    } else if ((h.major == 4 || h.major == 5) && !check_item(p, end, h, 2)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool scan_record(ByteView record, RecordFields& out) {
  const std::uint8_t* p = record.data();
  const std::uint8_t* const end = p + record.size();
  std::uint64_t ignored = 0;
  std::string_view text;
  return key_byte(p, end, kRecordMapHead) &&                                    //
         key_byte(p, end, 1) && uint_field(p, end, out.record_id) &&           //
         key_byte(p, end, 2) && bytes_field(p, end, out.prev_hash) &&          //
         key_byte(p, end, 3) && text_field(p, end, out.ts_wall) &&             //
         key_byte(p, end, 4) && uint_field(p, end, ignored) &&                 //
         key_byte(p, end, 5) && bytes_field(p, end, out.session_id) &&         //
         key_byte(p, end, 6) && text_field(p, end, text) &&                    //
         key_byte(p, end, 7) && text_field(p, end, text) &&                    //
         key_byte(p, end, 8) && payload_map(p, end) &&                         //
         key_byte(p, end, 9) && bytes_field(p, end, out.key_id) &&             //
         key_byte(p, end, 10) && uint_field(p, end, ignored) && p == end;
}

}  // namespace corvane::detail
