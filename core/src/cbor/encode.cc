// Canonical encoder: shortest heads, definite lengths, map keys in canonical
// order (shorter encoding first, then bytewise). Values are measured first
// and then written through a raw pointer into a buffer grown once, which
// keeps the per-record cost to a few hundred instructions.
#include <algorithm>
#include <cstring>

#include "cbor/encode_impl.h"
#include "corvane/cbor.h"

namespace corvane {

namespace {

// Canonical order of two text keys: fewer UTF-8 bytes first, then bytewise.
bool text_key_less(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a.compare(b) < 0;
}

// Length of a value; `limit` bounds the depth (nullopt past it) or is
// ignored when `bounded` is false.
template <bool bounded>
std::optional<std::size_t> value_len(const PayloadValue& value, unsigned depth);

template <bool bounded>
std::optional<std::size_t> map_len(const PayloadMap& map, unsigned depth) {
  if (bounded && depth >= MAX_CBOR_DEPTH) return std::nullopt;
  std::size_t total = head_len(map.size());
  if (bounded && !map.empty() && depth + 1 >= MAX_CBOR_DEPTH) return std::nullopt;  // keys sit one level down
  for (const auto& [key, value] : map) {
    auto n = value_len<bounded>(value, depth + 1);
    if (!n) return std::nullopt;
    total += head_len(key.size()) + key.size() + *n;
  }
  return total;
}

template <bool bounded>
std::optional<std::size_t> value_len(const PayloadValue& value, unsigned depth) {
  if (bounded && depth >= MAX_CBOR_DEPTH) return std::nullopt;
  switch (value.kind()) {
    case PayloadKind::kUint: return head_len(*std::get_if<0>(&value.v));
    case PayloadKind::kNint: return head_len(~static_cast<std::uint64_t>(*std::get_if<1>(&value.v)));
    case PayloadKind::kText: {
      const auto n = std::get_if<2>(&value.v)->size();
      return head_len(n) + n;
    }
    case PayloadKind::kBytes: {
      const auto n = std::get_if<3>(&value.v)->size();
      return head_len(n) + n;
    }
    case PayloadKind::kBool: return 1;
    case PayloadKind::kMap: return map_len<bounded>(*std::get_if<5>(&value.v), depth);
    case PayloadKind::kArray: {
      const auto& a = *std::get_if<6>(&value.v);
      std::size_t total = head_len(a.size());
      for (const auto& element : a) {
        auto n = value_len<bounded>(element, depth + 1);
        if (!n) return std::nullopt;
        total += *n;
      }
      return total;
    }
  }
  return std::nullopt;
}

}  // namespace

namespace detail {

std::uint8_t* put_payload_map(std::uint8_t* p, const PayloadMap& map) {
  p = put_head(p, kMajorMap, map.size());
  if (map.empty()) return p;
  // The map is kept in bytewise order; canonical order puts shorter keys
  // first. Sort pointers, on the stack for the usual handful of fields.
  constexpr std::size_t kInline = 16;
  const PayloadMap::Entry* inline_buf[kInline];
  std::vector<const PayloadMap::Entry*> heap;
  const PayloadMap::Entry** order = inline_buf;
  if (map.size() > kInline) {
    heap.resize(map.size());
    order = heap.data();
  }
  std::size_t n = 0;
  for (const auto& entry : map) order[n++] = &entry;
  const auto less = [](const PayloadMap::Entry* a, const PayloadMap::Entry* b) {
    return text_key_less(a->first, b->first);
  };
  if (n <= kInline) {
    // Insertion sort: no temporary buffer, and bytewise order is often close
    // to canonical order already.
    for (std::size_t i = 1; i < n; ++i) {
      const PayloadMap::Entry* item = order[i];
      std::size_t j = i;
      for (; j > 0 && less(item, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = item;
    }
  } else {
    std::sort(order, order + n, less);  // keys are unique: no ties to keep stable
  }
  for (std::size_t i = 0; i < n; ++i) {
    p = put_text(p, order[i]->first);
    p = put_payload_value(p, order[i]->second);
  }
  return p;
}

std::uint8_t* put_payload_value(std::uint8_t* p, const PayloadValue& value) {
  switch (value.kind()) {
    case PayloadKind::kUint: return put_head(p, kMajorUint, *std::get_if<0>(&value.v));
    case PayloadKind::kNint:
      // A non-negative value breaks the caller's contract; its complement is
      // written, which no reader accepts as a negative integer.
      return put_head(p, kMajorNint, ~static_cast<std::uint64_t>(*std::get_if<1>(&value.v)));
    case PayloadKind::kText: return put_text(p, *std::get_if<2>(&value.v));
    case PayloadKind::kBytes: {
      const auto& b = *std::get_if<3>(&value.v);
      return put_raw(put_head(p, kMajorBytes, b.size()), b.data(), b.size());
    }
    case PayloadKind::kBool:  // a simple value below 24 is its own one-byte head
      *p = static_cast<std::uint8_t>(kMajorSimple << 5 | (*std::get_if<4>(&value.v) ? kSimpleTrue : kSimpleFalse));
      return p + 1;
    case PayloadKind::kMap: return put_payload_map(p, *std::get_if<5>(&value.v));
    case PayloadKind::kArray: {
      const auto& a = *std::get_if<6>(&value.v);
      p = put_head(p, kMajorArray, a.size());
      for (const auto& element : a) p = put_payload_value(p, element);
      return p;
    }
  }
  return p;
}

std::size_t payload_map_len_unbounded(const PayloadMap& map) { return *map_len<false>(map, 0); }

}  // namespace detail

void append_head(Bytes& out, std::uint8_t major, std::uint64_t argument) {
  std::uint8_t head[9];
  out.insert(out.end(), head, detail::put_head(head, major, argument));
}

Bytes encode_head(std::uint8_t major, std::uint64_t argument) {
  Bytes out;
  append_head(out, major, argument);
  return out;
}

void append_payload_map(Bytes& out, const PayloadMap& map) {
  const std::size_t old = out.size();
  out.resize(old + detail::payload_map_len_unbounded(map));
  detail::put_payload_map(out.data() + old, map);
}

void append_payload_value(Bytes& out, const PayloadValue& value) {
  const std::size_t old = out.size();
  out.resize(old + *value_len<false>(value, 0));
  detail::put_payload_value(out.data() + old, value);
}

Bytes encode_payload_value(const PayloadValue& value) {
  Bytes out;
  append_payload_value(out, value);
  return out;
}

Bytes encode_text_keyed_map(const std::vector<std::pair<std::string, Bytes>>& entries) {
  std::vector<const std::pair<std::string, Bytes>*> order;
  order.reserve(entries.size());
  for (const auto& e : entries) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto* a, const auto* b) { return text_key_less(a->first, b->first); });
  Bytes out;
  append_head(out, kMajorMap, entries.size());
  for (const auto* e : order) {
    append_head(out, kMajorText, e->first.size());
    append_raw(out, e->first.data(), e->first.size());
    append_raw(out, e->second.data(), e->second.size());
  }
  return out;
}

Bytes encode_uint_keyed_map(const std::vector<std::pair<std::uint64_t, Bytes>>& entries) {
  std::vector<const std::pair<std::uint64_t, Bytes>*> order;
  order.reserve(entries.size());
  for (const auto& e : entries) order.push_back(&e);
  // For unsigned keys canonical order is numeric order.
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
  Bytes out;
  append_head(out, kMajorMap, entries.size());
  for (const auto* e : order) {
    append_head(out, kMajorUint, e->first);
    append_raw(out, e->second.data(), e->second.size());
  }
  return out;
}

std::optional<std::size_t> payload_encoded_len(const PayloadValue& value, unsigned depth) {
  return value_len<true>(value, depth);
}

std::optional<std::size_t> payload_map_encoded_len(const PayloadMap& map, unsigned depth) {
  return map_len<true>(map, depth);
}

}  // namespace corvane
