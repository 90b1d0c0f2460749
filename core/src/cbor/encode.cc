// Canonical encoder: shortest heads, definite lengths, map keys in canonical
// order (shorter encoding first, then bytewise).
#include <algorithm>
#include <cstring>

#include "corvane/cbor.h"

namespace corvane {

namespace {

// Length of the encoded key of a text key of `len` bytes.
std::size_t text_key_len(std::size_t len) { return head_len(len) + len; }

// Canonical order of two text keys: fewer UTF-8 bytes first, then bytewise.
bool text_key_less(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a.compare(b) < 0;
}

}  // namespace

void append_head(Bytes& out, std::uint8_t major, std::uint64_t argument) {
  const auto initial = static_cast<std::uint8_t>(major << 5);
  if (argument < 24) {
    out.push_back(static_cast<std::uint8_t>(initial | argument));
    return;
  }
  int width;
  std::uint8_t info;
  if (argument <= 0xFF) {
    width = 1, info = 24;
  } else if (argument <= 0xFFFF) {
    width = 2, info = 25;
  } else if (argument <= 0xFFFFFFFFu) {
    width = 4, info = 26;
  } else {
    width = 8, info = 27;
  }
  out.push_back(static_cast<std::uint8_t>(initial | info));
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(argument >> (8 * i)));
}

Bytes encode_head(std::uint8_t major, std::uint64_t argument) {
  Bytes out;
  append_head(out, major, argument);
  return out;
}

void append_payload_map(Bytes& out, const PayloadMap& map) {
  append_head(out, 5, map.size());
  if (map.empty()) return;
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
  std::stable_sort(order, order + n, [](const PayloadMap::Entry* a, const PayloadMap::Entry* b) {
    return text_key_less(a->first, b->first);
  });
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& key = order[i]->first;
    append_head(out, 3, key.size());
    out.insert(out.end(), key.begin(), key.end());
    append_payload_value(out, order[i]->second);
  }
}

void append_payload_value(Bytes& out, const PayloadValue& value) {
  switch (value.kind()) {
    case PayloadKind::kUint:
      append_head(out, 0, std::get<0>(value.v));
      return;
    case PayloadKind::kNint:
      // A non-negative value breaks the caller's contract; its complement is
      // written, which no reader accepts as a negative integer.
      append_head(out, 1, ~static_cast<std::uint64_t>(std::get<1>(value.v)));
      return;
    case PayloadKind::kText: {
      const auto& s = std::get<2>(value.v);
      append_head(out, 3, s.size());
      out.insert(out.end(), s.begin(), s.end());
      return;
    }
    case PayloadKind::kBytes: {
      const auto& b = std::get<3>(value.v);
      append_head(out, 2, b.size());
      out.insert(out.end(), b.begin(), b.end());
      return;
    }
    case PayloadKind::kBool:
      out.push_back(std::get<4>(value.v) ? 0xF5 : 0xF4);
      return;
    case PayloadKind::kMap:
      append_payload_map(out, std::get<5>(value.v));
      return;
    case PayloadKind::kArray: {
      const auto& a = std::get<6>(value.v);
      append_head(out, 4, a.size());
      for (const auto& element : a) append_payload_value(out, element);
      return;
    }
  }
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
  append_head(out, 5, entries.size());
  for (const auto* e : order) {
    append_head(out, 3, e->first.size());
    out.insert(out.end(), e->first.begin(), e->first.end());
    out.insert(out.end(), e->second.begin(), e->second.end());
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
  append_head(out, 5, entries.size());
  for (const auto* e : order) {
    append_head(out, 0, e->first);
    out.insert(out.end(), e->second.begin(), e->second.end());
  }
  return out;
}

std::optional<std::size_t> payload_encoded_len(const PayloadValue& value, unsigned depth) {
  if (depth >= MAX_CBOR_DEPTH) return std::nullopt;
  switch (value.kind()) {
    case PayloadKind::kUint:
      return head_len(std::get<0>(value.v));
    case PayloadKind::kNint:
      return head_len(~static_cast<std::uint64_t>(std::get<1>(value.v)));
    case PayloadKind::kText: {
      const auto n = std::get<2>(value.v).size();
      return head_len(n) + n;
    }
    case PayloadKind::kBytes: {
      const auto n = std::get<3>(value.v).size();
      return head_len(n) + n;
    }
    case PayloadKind::kBool:
      return 1;
    case PayloadKind::kMap:
      return payload_map_encoded_len(std::get<5>(value.v), depth);
    case PayloadKind::kArray: {
      const auto& a = std::get<6>(value.v);
      std::size_t total = head_len(a.size());
      for (const auto& element : a) {
        auto n = payload_encoded_len(element, depth + 1);
        if (!n) return std::nullopt;
        total += *n;
      }
      return total;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> payload_map_encoded_len(const PayloadMap& map, unsigned depth) {
  if (depth >= MAX_CBOR_DEPTH) return std::nullopt;
  std::size_t total = head_len(map.size());
  if (!map.empty() && depth + 1 >= MAX_CBOR_DEPTH) return std::nullopt;  // keys sit one level down
  for (const auto& [key, value] : map) {
    auto n = payload_encoded_len(value, depth + 1);
    if (!n) return std::nullopt;
    total += text_key_len(key.size()) + *n;
  }
  return total;
}

bool canonical_less(ByteView a, ByteView b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return !a.empty() && std::memcmp(a.data(), b.data(), a.size()) < 0;
}

}  // namespace corvane
