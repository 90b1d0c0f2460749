// Strict decoder: refuses anything outside the subset or not in canonical
// form, with the offset of the offending byte. One routine serves both full
// decoding and validation without building values (out == nullptr).
#include <algorithm>
#include <cstring>

#include "cbor/strict_head.h"
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

// The error for a head that read_head refused at `h`.
std::unexpected<CborError> head_error(ByteView buf, std::size_t h, detail::HeadFault fault, const detail::Head& head) {
  using detail::HeadFault;
  const std::uint8_t info = h < buf.size() ? buf[h] & 31 : 0;
  switch (fault) {
    case HeadFault::kNone:
    case HeadFault::kEnd: break;
    case HeadFault::kSimple:
      return fail(CborError::Kind::kUnsupported, h, 0, cat("major 7 simple value ", info, " unsupported at v0.1"));
    case HeadFault::kTag:
      return fail(CborError::Kind::kUnsupported, h, 0, cat("major type ", unsigned{kMajorTag}, " unsupported at v0.1"));
    case HeadFault::kReserved:
      return fail(CborError::Kind::kUnsupported, h, 0,
                  cat("indefinite-length / reserved additional info ", info, " not supported at v0.1"));
    case HeadFault::kTruncated: {
      const std::size_t width = std::size_t{1} << (info - 24);
      return fail(CborError::Kind::kTruncated, h + 1, h + 1 + width - buf.size());
    }
    case HeadFault::kNonCanonical: {
      static constexpr const char* kWidthName[] = {"u8", "u16", "u32", "u64"};
      static constexpr const char* kFitsIn[] = {"inline", "u8", "u16", "u32"};
      return fail(CborError::Kind::kNonCanonical, h, 0,
                  cat(kWidthName[info - 24], " arg ", head.arg, " should fit in ", kFitsIn[info - 24], " form"));
    }
    case HeadFault::kNegativeRange: return fail(CborError::Kind::kUnsupported, h, 0, "negative integer below i64::MIN");
  }
  return fail(CborError::Kind::kTruncated, h, 1);
}

}  // namespace

std::expected<void, CborError> decode_item(ByteView buf, std::size_t& pos, unsigned depth, CborValue* out) {
  if (depth >= MAX_CBOR_DEPTH) {
    return fail(CborError::Kind::kUnsupported, pos, 0,
                cat("CBOR nesting depth exceeded MAX_CBOR_DEPTH=", MAX_CBOR_DEPTH));
  }
  const std::uint8_t* const base = buf.data();
  const std::uint8_t* p = base + std::min(pos, buf.size());
  detail::Head head;
  if (auto fault = detail::read_head(p, base + buf.size(), head); fault != detail::HeadFault::kNone) {
    return head_error(buf, pos, fault, head);
  }
  const std::size_t start = pos;
  pos = static_cast<std::size_t>(p - base);
  const std::uint64_t n = head.arg;

  switch (head.major) {
    case kMajorUint:
      if (out) *out = CborValue::uint(n);
      return {};
    case kMajorNint:
      if (out) *out = CborValue::nint(-1 - static_cast<std::int64_t>(n));
      return {};
    case kMajorSimple:  // read_head lets only the booleans through
      if (out) *out = CborValue::boolean(n == kSimpleTrue);
      return {};
    case kMajorTag: return head_error(buf, start, detail::HeadFault::kTag, head);  // read_head refuses tags
    case kMajorBytes:
    case kMajorText: {
      const std::size_t q = pos;
      const std::uint64_t remaining = buf.size() - q;
      if (n > remaining) return fail(CborError::Kind::kTruncated, q, n - remaining);
      const std::uint8_t* content = buf.data() + q;
      if (head.major == kMajorText && !detail::utf8_ok(content, static_cast<std::size_t>(n))) {
        return fail(CborError::Kind::kInvalidUtf8, q);
      }
      if (out) {
        if (head.major == kMajorBytes) {
          *out = CborValue::bytes(Bytes(content, content + n));
        } else {
          *out = CborValue::text(std::string(reinterpret_cast<const char*>(content), n));
        }
      }
      pos = q + n;
      return {};
    }
    case kMajorArray: {
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
    case kMajorMap: {
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
  return {};  // unreachable: every major type is handled
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

}  // namespace corvane
