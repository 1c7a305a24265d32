#include "qv/core/variant.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "qv/core/automation_error.hpp"

namespace qv {
namespace {

[[noreturn]] void Fail(Long number) { throw AutomationError(number, DefaultErrorText(number)); }

String Widen(std::string_view ascii) { return String(ascii.begin(), ascii.end()); }

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

enum class NumberText { kNumber, kNotNumber, kOutOfRange };

// Reads [sign] digits [. digits] [E [sign] digits] with '.' as the decimal point
// whatever the process locale; surrounding spaces are allowed.
NumberText ParseNumber(std::u16string_view text, double& value) {
  text = Trim(text);
  std::string ascii;
  ascii.reserve(text.size());
  for (char16_t c : text) {
    if (c >= 0x80) return NumberText::kNotNumber;
    ascii.push_back(static_cast<char>(c));
  }

  // Check the form ourselves: from_chars would also take "inf" and "nan".
  std::size_t pos = 0;
  const std::size_t n = ascii.size();
  bool negative = false;
  if (pos < n && (ascii[pos] == '+' || ascii[pos] == '-')) negative = ascii[pos++] == '-';
  const std::size_t mantissa_start = pos;
  std::size_t int_digits = 0;
  std::size_t significant_int_digits = 0;
  while (pos < n && IsDigit(ascii[pos])) {
    if (ascii[pos] != '0' || significant_int_digits > 0) ++significant_int_digits;
    ++int_digits;
    ++pos;
  }
  std::size_t frac_digits = 0;
  std::size_t frac_leading_zeros = 0;
  bool frac_nonzero = false;
  if (pos < n && ascii[pos] == '.') {
    ++pos;
    while (pos < n && IsDigit(ascii[pos])) {
      if (ascii[pos] != '0') frac_nonzero = true;
      if (!frac_nonzero) ++frac_leading_zeros;
      ++frac_digits;
      ++pos;
    }
  }
  if (int_digits == 0 && frac_digits == 0) return NumberText::kNotNumber;
  long exponent = 0;
  if (pos < n && (ascii[pos] == 'e' || ascii[pos] == 'E')) {
    ++pos;
    bool exponent_negative = false;
    if (pos < n && (ascii[pos] == '+' || ascii[pos] == '-'))
      exponent_negative = ascii[pos++] == '-';
    if (pos == n || !IsDigit(ascii[pos])) return NumberText::kNotNumber;
    while (pos < n && IsDigit(ascii[pos])) {
      if (exponent < 100000) exponent = exponent * 10 + (ascii[pos] - '0');
      ++pos;
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (pos != n) return NumberText::kNotNumber;

  // from_chars takes no '+'; give it the text from the first digit on.
  const char* first = ascii.data() + mantissa_start;
  double parsed = 0.0;
  const auto result = std::from_chars(first, ascii.data() + n, parsed);
  if (result.ec == std::errc::result_out_of_range) {
    // Too small to represent is zero; too large is out of range.
    const long magnitude = significant_int_digits > 0
                               ? exponent + static_cast<long>(significant_int_digits)
                               : exponent - static_cast<long>(frac_leading_zeros);
    if (magnitude > 0) return NumberText::kOutOfRange;
    parsed = 0.0;
  } else if (result.ec != std::errc() || result.ptr != ascii.data() + n) {
    return NumberText::kNotNumber;
  }
  value = negative ? -parsed : parsed;
  return NumberText::kNumber;
}

double TextToNumber(std::u16string_view text) {
  double value = 0.0;
  switch (ParseNumber(text, value)) {
    case NumberText::kNumber:
      return value;
    case NumberText::kOutOfRange:
      Fail(error_number::kOverflow);
    case NumberText::kNotNumber:
      break;
  }
  Fail(error_number::kTypeMismatch);
}

// Text of a floating value with at most `digits` significant digits: no trailing
// zeros, no trailing point, an exponent of at least two digits ("1E+20").
String FormatFloating(double value, int digits) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value < 0 ? u"-Infinity" : u"Infinity";
  if (value == 0.0) return u"0";  // also for -0
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
  std::string text(buffer, result.ptr);
  const std::size_t e = text.find('e');
  std::string mantissa = text.substr(0, e);
  if (mantissa.find('.') != std::string::npos) {
    while (mantissa.back() == '0') mantissa.pop_back();
    if (mantissa.back() == '.') mantissa.pop_back();
  }
  if (e == std::string::npos) return Widen(mantissa);
  std::string exponent_digits = text.substr(e + 2);
  while (exponent_digits.size() > 2 && exponent_digits.front() == '0') exponent_digits.erase(0, 1);
  while (exponent_digits.size() < 2) exponent_digits.insert(0, 1, '0');
  return Widen(mantissa + 'E' + text[e + 1] + exponent_digits);
}

template <typename T>
String FormatInteger(T value) {
  char buffer[16];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return Widen(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

double RoundHalfEven(double x) {
  const double below = std::floor(x);
  const double diff = x - below;
  if (diff > 0.5) return below + 1.0;
  if (diff < 0.5) return below;
  return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

template <typename T>
T RoundToInteger(double x) {
  if (std::isnan(x)) Fail(error_number::kOverflow);
  const double rounded = RoundHalfEven(x);
  if (rounded < static_cast<double>(std::numeric_limits<T>::min()) ||
      rounded > static_cast<double>(std::numeric_limits<T>::max())) {
    Fail(error_number::kOverflow);
  }
  return static_cast<T>(rounded);
}

Date CheckedDate(double days) {
  if (!(days >= kMinDateDays && days <= kMaxDateDays)) Fail(error_number::kOverflow);
  return Date{days};
}

bool EqualsIgnoringCase(std::u16string_view text, std::u16string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != lower[i]) return false;
  }
  return true;
}

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

VarType Variant::type() const {
  static constexpr VarType kTypes[] = {VarType::kEmpty, VarType::kNull,   VarType::kInteger,
                                       VarType::kLong,  VarType::kSingle, VarType::kDouble,
                                       VarType::kDate,  VarType::kString, VarType::kBoolean};
  static_assert(std::size(kTypes) == std::variant_size_v<Storage>);
  return kTypes[value_.index()];
}

String ToText(const Variant& v) {
  return std::visit(
      Overloaded{
          [](std::monostate) { return String(); },
          [](Variant::NullValue) -> String { Fail(error_number::kInvalidUseOfNull); },
          [](Integer x) { return FormatInteger(x); },
          [](Long x) { return FormatInteger(x); },
          [](float x) { return FormatFloating(x, 7); },
          [](double x) { return FormatFloating(x, 15); },
          [](Date x) {
            std::optional<String> text = FormatDateText(x);
            if (!text) Fail(error_number::kInvalidProcedureCall);
            return std::move(*text);
          },
          [](const String& x) { return x; },
          [](Variant::BooleanValue x) { return String(x.value != kFalse ? u"True" : u"False"); },
      },
      v.storage());
}

double ToDouble(const Variant& v) {
  return std::visit(Overloaded{
                        [](std::monostate) { return 0.0; },
                        [](Variant::NullValue) -> double { Fail(error_number::kInvalidUseOfNull); },
                        [](Integer x) { return static_cast<double>(x); },
                        [](Long x) { return static_cast<double>(x); },
                        [](float x) { return static_cast<double>(x); },
                        [](double x) { return x; },
                        [](Date x) { return x.days; },
                        [](const String& x) { return TextToNumber(x); },
                        [](Variant::BooleanValue x) { return x.value != kFalse ? -1.0 : 0.0; },
                    },
                    v.storage());
}

Integer ToInteger(const Variant& v) {
  if (const Integer* x = v.get_if<Integer>()) return *x;
  return RoundToInteger<Integer>(ToDouble(v));
}

Long ToLong(const Variant& v) {
  if (const Long* x = v.get_if<Long>()) return *x;
  return RoundToInteger<Long>(ToDouble(v));
}

Boolean ToBoolean(const Variant& v) {
  if (const auto* x = v.get_if<Variant::BooleanValue>()) return MakeBoolean(x->value != kFalse);
  if (const String* text = v.get_if<String>()) {
    const std::u16string_view trimmed = Trim(*text);
    if (EqualsIgnoringCase(trimmed, u"true")) return kTrue;
    if (EqualsIgnoringCase(trimmed, u"false")) return kFalse;
  }
  return MakeBoolean(ToDouble(v) != 0.0);
}

Date ToDate(const Variant& v) {
  if (const String* text = v.get_if<String>()) {
    if (std::optional<Date> date = ParseDateText(*text)) return CheckedDate(date->days);
  }
  return CheckedDate(ToDouble(v));
}

}  // namespace qv
