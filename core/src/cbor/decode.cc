// Strict decoder: refuses anything outside the subset or not in canonical
// form, with the offset of the offending byte. One routine serves both full
// decoding and validation without building values (out == nullptr).
#include <cstring>

#include "corvane/cbor.h"
#include "text.h"
#include "utf8.h"

namespace corvane {

using detail::cat;

namespace {

std::unexpected<CborError> fail(CborError::Kind kind, std::uint64_t offset, std::uint64_t count = 0,
                                std::string message = {}) {
  return std::unexpected(CborError{kind, offset, count, std::move(message)});
}

// Reads the argument of the head at `h` (whose additional information is
// `info`) and leaves `pos` after it.
std::expected<std::uint64_t, CborError> read_argument(ByteView buf, std::size_t& pos, std::size_t h,
                                                      std::uint8_t info) {
  pos = h + 1;
  if (info < 24) return info;
  if (info >= 28) {
    return fail(CborError::Kind::kUnsupported, h, 0,
                cat("indefinite-length / reserved additional info ", info, " not supported at v0.1"));
  }
  const std::size_t width = std::size_t{1} << (info - 24);
  if (buf.size() - pos < width) {
    return fail(CborError::Kind::kTruncated, h + 1, h + 1 + width - buf.size());
  }
  std::uint64_t arg = 0;
  for (std::size_t i = 0; i < width; ++i) arg = (arg << 8) | buf[pos + i];
  pos += width;
  const char* message = nullptr;
  if (info == 24 && arg < 24) message = " should fit in inline form";
  if (info == 25 && arg <= 0xFF) message = " should fit in u8 form";
  if (info == 26 && arg <= 0xFFFF) message = " should fit in u16 form";
  if (info == 27 && arg <= 0xFFFFFFFFu) message = " should fit in u32 form";
  if (message != nullptr) {
    static constexpr const char* kWidthName[] = {"u8", "u16", "u32", "u64"};
    return fail(CborError::Kind::kNonCanonical, h, 0, cat(kWidthName[info - 24], " arg ", arg, message));
  }
  return arg;
}

}  // namespace

std::expected<void, CborError> decode_item(ByteView buf, std::size_t& pos, unsigned depth, CborValue* out) {
  if (depth >= MAX_CBOR_DEPTH) {
    return fail(CborError::Kind::kUnsupported, pos, 0,
                cat("CBOR nesting depth exceeded MAX_CBOR_DEPTH=", MAX_CBOR_DEPTH));
  }
  if (pos >= buf.size()) return fail(CborError::Kind::kTruncated, pos, 1);
  const std::size_t p = pos;
  const std::uint8_t initial = buf[p];
  const std::uint8_t major = initial >> 5;
  const std::uint8_t info = initial & 31;

  if (major == 7) {
    if (info == 20 || info == 21) {
      if (out) *out = CborValue::boolean(info == 21);
      pos = p + 1;
      return {};
    }
    return fail(CborError::Kind::kUnsupported, p, 0, cat("major 7 simple value ", info, " unsupported at v0.1"));
  }
  if (major == 6) {
    return fail(CborError::Kind::kUnsupported, p, 0, cat("major type ", major, " unsupported at v0.1"));
  }

  auto arg = read_argument(buf, pos, p, info);
  if (!arg) return std::unexpected(std::move(arg.error()));
  const std::uint64_t n = *arg;

  switch (major) {
    case 0:
      if (out) *out = CborValue::uint(n);
      return {};
    case 1:
      if (n >= (std::uint64_t{1} << 63)) {
        return fail(CborError::Kind::kUnsupported, p, 0, "negative integer below i64::MIN");
      }
      if (out) *out = CborValue::nint(-1 - static_cast<std::int64_t>(n));
      return {};
    case 2:
    case 3: {
      const std::size_t q = pos;
      const std::uint64_t remaining = buf.size() - q;
      if (n > remaining) return fail(CborError::Kind::kTruncated, q, n - remaining);
      const std::uint8_t* content = buf.data() + q;
      if (major == 3 && !detail::valid_utf8(content, n)) return fail(CborError::Kind::kInvalidUtf8, q);
      if (out) {
        if (major == 2) {
          *out = CborValue::bytes(Bytes(content, content + n));
        } else {
          *out = CborValue::text(std::string(reinterpret_cast<const char*>(content), n));
        }
      }
      pos = q + n;
      return {};
    }
    case 4: {
      if (out == nullptr) {
        for (std::uint64_t i = 0; i < n; ++i) {
          if (auto r = decode_item(buf, pos, depth + 1, nullptr); !r) return r;
        }
        return {};
      }
      CborArray items;
      items.reserve(n < kMaxPrealloc ? n : kMaxPrealloc);
      for (std::uint64_t i = 0; i < n; ++i) {
        CborValue element;
        if (auto r = decode_item(buf, pos, depth + 1, &element); !r) return r;
        items.push_back(std::move(element));
      }
      *out = CborValue::array(std::move(items));
      return {};
    }
    case 5: {
      if (out == nullptr) {
        ByteView previous_key;
        for (std::uint64_t i = 0; i < n; ++i) {
          const std::size_t k = pos;
          if (auto r = decode_item(buf, pos, depth + 1, nullptr); !r) return r;
          const ByteView key_bytes = buf.subspan(k, pos - k);
          if (i > 0 && !canonical_less(previous_key, key_bytes)) return fail(CborError::Kind::kKeyOrder, k);
          previous_key = key_bytes;
          if (auto r = decode_item(buf, pos, depth + 1, nullptr); !r) return r;
        }
        return {};
      }
      CborMap pairs;
      pairs.reserve(n < kMaxPrealloc ? n : kMaxPrealloc);
      ByteView previous_key;
      for (std::uint64_t i = 0; i < n; ++i) {
        const std::size_t k = pos;
        CborValue key;
        if (auto r = decode_item(buf, pos, depth + 1, &key); !r) return r;
        const ByteView key_bytes = buf.subspan(k, pos - k);
        if (i > 0 && !canonical_less(previous_key, key_bytes)) return fail(CborError::Kind::kKeyOrder, k);
        previous_key = key_bytes;
        CborValue value;
        if (auto r = decode_item(buf, pos, depth + 1, &value); !r) return r;
        pairs.emplace_back(std::move(key), std::move(value));
      }
      *out = CborValue::map(std::move(pairs));
      return {};
    }
  }
  return {};  // unreachable: majors 6 and 7 are handled above
}

std::expected<CborValue, CborError> decode_item(ByteView buffer, std::size_t& pos, unsigned depth) {
  CborValue value;
  auto r = decode_item(buffer, pos, depth, &value);
  if (!r) return std::unexpected(std::move(r.error()));
  return value;
}

std::expected<CborValue, CborError> decode_canonical(ByteView buffer) {
  std::size_t pos = 0;
  CborValue value;
  auto r = decode_item(buffer, pos, 0, &value);
  if (!r) return std::unexpected(std::move(r.error()));
  if (pos != buffer.size()) return fail(CborError::Kind::kTrailingBytes, pos, buffer.size() - pos);
  return value;
}

std::expected<void, CborError> validate_canonical(ByteView buffer) {
  std::size_t pos = 0;
  auto r = decode_item(buffer, pos, 0, nullptr);
  if (!r) return r;
  if (pos != buffer.size()) return fail(CborError::Kind::kTrailingBytes, pos, buffer.size() - pos);
  return {};
}

std::optional<std::uint64_t> record_id_of(ByteView buffer) {
  std::size_t pos = 0;
  CborValue value;
  if (!decode_item(buffer, pos, 0, &value) || pos != buffer.size()) return std::nullopt;
  const CborMap* map = value.as_map();
  if (map == nullptr) return std::nullopt;
  for (const auto& [key, val] : *map) {
    const std::uint64_t* k = key.as_uint();
    const std::uint64_t* v = val.as_uint();
    if (k != nullptr && *k == 1 && v != nullptr) return *v;
  }
  return std::nullopt;
}

}  // namespace corvane
