// The host's property store, in which the control saves and restores itself.
#pragma once

#include <string_view>

#include "qv/core/variant.hpp"
#include "qv/export.hpp"

namespace qv {

class QV_EXPORT PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  // The value stored under key, with its kind, or default_value when none.
  virtual Variant ReadProperty(std::u16string_view key, const Variant& default_value) = 0;
  // Stores value under key. A store may leave out a value equal to
  // default_value; a later read with the same default gives it back.
  virtual void WriteProperty(std::u16string_view key, const Variant& value,
                             const Variant& default_value) = 0;
};

}  // namespace qv
