#include "qv/host/memory_property_bag.hpp"

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
  if (const auto it = index_.find(key); it != index_.end()) {
    entries_[it->second].value = std::move(value);
    return;
  }
  index_.emplace(String(key), entries_.size());
  entries_.push_back(Entry{String(key), std::move(value)});
}

bool MemoryPropertyBag::Erase(std::u16string_view key) {
  const auto it = index_.find(key);
  if (it == index_.end()) return false;
  const std::size_t position = it->second;
  index_.erase(it);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  for (auto& [name, at] : index_) {
    if (at > position) --at;
  }
  return true;
}

const Variant* MemoryPropertyBag::Find(std::u16string_view key) const {
  const auto it = index_.find(key);
  return it != index_.end() ? &entries_[it->second].value : nullptr;
}

}  // namespace qv
