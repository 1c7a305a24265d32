// A value of any automation kind, held with its kind.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "qv/core/date.hpp"
#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

// The kinds, numbered as automation numbers them.
enum class VarType : std::uint16_t {
  kEmpty = 0,
  kNull = 1,
  kInteger = 2,
  kLong = 3,
  kSingle = 4,
  kDouble = 5,
  kDate = 7,
  kString = 8,
  kBoolean = 11,
};

class QV_EXPORT Variant {
 public:
  struct NullValue {
    friend bool operator==(NullValue, NullValue) = default;
  };
  struct BooleanValue {
    Boolean value = kFalse;
    friend bool operator==(BooleanValue, BooleanValue) = default;
  };
  using Storage = std::variant<std::monostate, NullValue, Integer, Long, float, double, Date,
                               String, BooleanValue>;

  Variant() = default;  // Empty
  Variant(Integer v) : value_(v) {}
  Variant(Long v) : value_(v) {}
  Variant(float v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(Date v) : value_(v) {}
  Variant(String v) : value_(std::move(v)) {}
  Variant(std::u16string_view v) : value_(String(v)) {}
  Variant(const char16_t* v) : value_(String(v)) {}
  Variant(bool v) : value_(BooleanValue{MakeBoolean(v)}) {}
  // Narrow text would otherwise become a Boolean through the pointer.
  Variant(const char*) = delete;

  static Variant Null() { return Variant(NullValue{}); }
  // A Boolean from its 16-bit form; any non-zero value is held as true.
  static Variant FromBoolean(Boolean v) { return Variant(v != kFalse); }

  VarType type() const;
  bool IsEmpty() const { return value_.index() == 0; }
  bool IsNull() const { return std::holds_alternative<NullValue>(value_); }

  const Storage& storage() const { return value_; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value_);
  }
  // For moving a large value out.
  template <typename T>
  T* get_if() {
    return std::get_if<T>(&value_);
  }

  // Same kind and same value (Double NaN never equals itself).
  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  explicit Variant(NullValue v) : value_(v) {}
  Storage value_;
};

// Conversions; each throws AutomationError: 94 "Invalid use of Null" for Null,
// 13 "Type mismatch" for text that is not of the wanted kind, 6 "Overflow" for a
// number outside the target's range.

// Text form: a string unchanged; Integer and Long as decimal; Single and Double
// with at most 15 (Single: 7) significant digits and no trailing zeros ("0.5",
// "1E+20" style exponents beyond 15 digits); Boolean "True" or "False"; Date as
// "YYYY-MM-DD HH:MM:SS"; Empty as empty text. A Date with no calendar date fails
// with 5.
QV_EXPORT String ToText(const Variant& v);

// Round half to even, then range check. Text is read as a number (leading and
// trailing spaces allowed, decimal point '.', optional exponent); "True" and
// "False" are not numbers. Empty is 0; Boolean true is -1; a Date is its days.
QV_EXPORT Integer ToInteger(const Variant& v);
QV_EXPORT Long ToLong(const Variant& v);
QV_EXPORT double ToDouble(const Variant& v);

// A number is true when non-zero; text "True"/"False" (any case) or numeric
// text; Empty is false.
QV_EXPORT Boolean ToBoolean(const Variant& v);

// A number counts days since 30 December 1899; text in the date text form
// (see ParseDateText) or numeric text; Empty is the zero date; Boolean true is
// -1 day. A result outside the date range fails with 6.
QV_EXPORT Date ToDate(const Variant& v);

}  // namespace qv
