// The one exception type of the library: an automation error with its number.
#pragma once

#include <stdexcept>
#include <string>

#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

// Numbered errors the library raises. Dispatch statuses (HRESULTs) travel in
// the same field as negative numbers.
namespace error_number {
inline constexpr Long kInvalidProcedureCall = 5;
inline constexpr Long kOverflow = 6;
inline constexpr Long kTypeMismatch = 13;
inline constexpr Long kInvalidUseOfNull = 94;
inline constexpr Long kInvalidPropertyValue = 380;
inline constexpr Long kCannotSetAtRunTime = 393;
inline constexpr Long kCannotSetAtDesignTime = 394;
}  // namespace error_number

class QV_EXPORT AutomationError : public std::runtime_error {
 public:
  AutomationError(Long number, const std::string& description)
      : std::runtime_error(description), number_(number) {}

  Long number() const noexcept { return number_; }

 private:
  Long number_;
};

// The text a host gives a numbered error when it has none of its own.
QV_EXPORT std::string DefaultErrorText(Long number);

}  // namespace qv
