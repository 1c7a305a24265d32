// What the control asks of the component host that contains it.
#pragma once

#include <string>
#include <string_view>

#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

class QV_EXPORT ComponentHost {
 public:
  virtual ~ComponentHost() = default;
  // True while the container runs the user's program, false at design time.
  virtual Boolean UserMode() = 0;
  // A persisted property has changed; the host saves at its next save.
  virtual void PropertyChanged(std::u16string_view name) = 0;
  // The control's own enabled state, kept by the host.
  virtual Boolean Enabled() = 0;
  virtual void SetEnabled(Boolean enabled) = 0;
  // The control's size in twips.
  virtual void SetWidth(Long twips) = 0;
  virtual void SetHeight(Long twips) = 0;
  // The text the caller sees with a numbered error.
  virtual std::string ErrorText(Long number) = 0;
};

}  // namespace qv
