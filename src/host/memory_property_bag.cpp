#include "qv/host/memory_property_bag.hpp"

#include <algorithm>

namespace qv {

Variant MemoryPropertyBag::ReadProperty(std::u16string_view key, const Variant& default_value) {
  const Variant* value = Find(key);
  return value ? *value : default_value;
}

void MemoryPropertyBag::WriteProperty(std::u16string_view key, const Variant& value,
                                      const Variant& default_value) {
  if (defaults_ == Defaults::kLeaveOut && value == default_value) {
    // An older value left behind would come back on the next read.
    Erase(key);
    return;
  }
  Set(key, value);
}

void MemoryPropertyBag::Set(std::u16string_view key, Variant value) {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [key](const Entry& entry) { return entry.key == key; });
  if (it != entries_.end()) {
    it->value = std::move(value);
  } else {
    entries_.push_back(Entry{String(key), std::move(value)});
  }
}

bool MemoryPropertyBag::Erase(std::u16string_view key) {
  return std::erase_if(entries_, [key](const Entry& entry) { return entry.key == key; }) > 0;
}

const Variant* MemoryPropertyBag::Find(std::u16string_view key) const {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [key](const Entry& entry) { return entry.key == key; });
  return it != entries_.end() ? &it->value : nullptr;
}

}  // namespace qv
