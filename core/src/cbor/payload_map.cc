#include <algorithm>

#include "corvane/cbor.h"

namespace corvane {

PayloadMap PayloadMap::from_unsorted(std::vector<Entry> entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.first < b.first; });
  // Of equal keys keep the last one inserted, as a map assignment would.
  PayloadMap map;
  map.entries_.reserve(entries.size());
  for (auto& entry : entries) {
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
