// A property store held in memory: each value kept with its kind, entries in
// the order first written.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qv/export.hpp"
#include "qv/host/property_bag.hpp"

namespace qv {

class QV_EXPORT MemoryPropertyBag final : public PropertyBag {
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
  void Clear() {
    entries_.clear();
    index_.clear();
  }

  // The stored value, or nullptr.
  const Variant* Find(std::u16string_view key) const;
  const std::vector<Entry>& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  Defaults defaults() const { return defaults_; }

 private:
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::u16string_view key) const {
      return std::hash<std::u16string_view>{}(key);
    }
  };

  Defaults defaults_;
  std::vector<Entry> entries_;
  // Key to position in entries_, so that a store of many entries (a large
  // property file) fills and reads in time linear in its size.
  std::unordered_map<String, std::size_t, KeyHash, std::equal_to<>> index_;
};

}  // namespace qv
