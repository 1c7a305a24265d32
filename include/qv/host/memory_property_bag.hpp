// A property store held in memory: each value kept with its kind, entries in
// the order first written.
#pragma once

#include <cstddef>
#include <vector>

#include "qv/host/property_bag.hpp"

namespace qv {

class MemoryPropertyBag final : public PropertyBag {
 public:
  // Whether a value written with a default equal to it is kept. Left out, it
  // is not stored at all (and an older entry under the key is dropped), so a
  // read with the same default gives it back.
  enum class Defaults { kLeaveOut, kKeep };

  struct Entry {
    String key;
    Variant value;

    friend bool operator==(const Entry&, const Entry&) = default;
  };

  explicit MemoryPropertyBag(Defaults defaults = Defaults::kLeaveOut) : defaults_(defaults) {}

  // Keys match exactly (case counts).
  Variant ReadProperty(std::u16string_view key, const Variant& default_value) override;
  // A key written again keeps its place.
  void WriteProperty(std::u16string_view key, const Variant& value,
                     const Variant& default_value) override;

  // Stores value under key whatever the default policy, as a store that was
  // filled elsewhere would hold it.
  void Set(std::u16string_view key, Variant value);
  // Whether there was an entry to remove.
  bool Erase(std::u16string_view key);
  void Clear() { entries_.clear(); }

  // The stored value, or nullptr.
  const Variant* Find(std::u16string_view key) const;
  const std::vector<Entry>& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  Defaults defaults() const { return defaults_; }

 private:
  Defaults defaults_;
  std::vector<Entry> entries_;
};

}  // namespace qv
