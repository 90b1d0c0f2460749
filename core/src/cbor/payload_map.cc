#include <algorithm>

#include "corvane/cbor.h"

namespace corvane {

PayloadMap PayloadMap::from_unsorted(std::vector<Entry> entries) {
  const std::size_t n = entries.size();
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
  const auto less = [&entries](std::uint32_t a, std::uint32_t b) { return entries[a].first < entries[b].first; };
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
  // Of equal keys keep the last one inserted, as a map assignment would.
  PayloadMap map;
  map.entries_.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    Entry& entry = entries[order[i]];
    if (!map.entries_.empty() && map.entries_.back().first == entry.first) {
      map.entries_.back().second = std::move(entry.second);
    } else {
      map.entries_.push_back(std::move(entry));
    }
  }
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
