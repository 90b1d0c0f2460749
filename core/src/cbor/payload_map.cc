#include <algorithm>

#include "corvane/cbor.h"

namespace corvane {

PayloadMap PayloadMap::from_unsorted(std::vector<Entry> entries) {
  const std::size_t n = entries.size();
  // Entries in order already (a decoded map, a caller's sorted list) are
  // taken as they are.
  std::size_t sorted = 1;
  while (sorted < n && key_less(entries[sorted - 1].first, entries[sorted].first)) ++sorted;
  if (sorted >= n) {
    PayloadMap map;
    map.entries_ = std::move(entries);
    return map;
  }
  // Sort positions rather than entries: moving a string and a value at
  // every step of the sort costs far more than moving an index.
  constexpr std::size_t kInline = 32;
  std::uint32_t inline_order[kInline];
  std::vector<std::uint32_t> heap_order;
  std::uint32_t* order = inline_order;
  if (n > kInline) {
    heap_order.resize(n);
    order = heap_order.data();
  }
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
  const auto less = [&entries](std::uint32_t a, std::uint32_t b) {
    return key_less(entries[a].first, entries[b].first);
  };
  if (n <= kInline) {
    for (std::size_t i = 1; i < n; ++i) {  // stable insertion sort
      const std::uint32_t item = order[i];
      std::size_t j = i;
      for (; j > 0 && less(item, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = item;
    }
  } else {
    std::stable_sort(order, order + n, less);
  }
  // Put the entries in that order where they are, following each cycle of
  // the permutation once, so that the map keeps the caller's vector rather
  // than allocating another.
  for (std::size_t i = 0; i < n; ++i) {
    if (order[i] == i) continue;
    Entry held = std::move(entries[i]);
    std::size_t j = i;
    while (order[j] != i) {
      const std::size_t from = order[j];
      entries[j] = std::move(entries[from]);
      order[j] = static_cast<std::uint32_t>(j);
      j = from;
    }
    entries[j] = std::move(held);
    order[j] = static_cast<std::uint32_t>(j);
  }
  // Of equal keys keep the last one inserted, as a map assignment would.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (kept > 0 && entries[kept - 1].first == entries[i].first) {
      entries[kept - 1].second = std::move(entries[i].second);
    } else if (kept++ != i) {
      entries[kept - 1] = std::move(entries[i]);
    }
  }
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
  PayloadMap map;
  map.entries_ = std::move(entries);
  return map;
}

void PayloadMap::insert_or_assign(std::string key, PayloadValue value) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const Entry& e, const std::string& k) { return e.first < k; });
  if (it != entries_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    entries_.emplace(it, std::move(key), std::move(value));
  }
}

const PayloadValue* PayloadMap::find(std::string_view key) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const Entry& e, std::string_view k) { return std::string_view(e.first) < k; });
  return it != entries_.end() && it->first == key ? &it->second : nullptr;
}

}  // namespace corvane
