// Variant conversions on values of every kind: only AutomationError may
// escape, dates stay in range, and the text forms read back as their values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "qv/core/automation_error.hpp"
#include "qv/core/date.hpp"
#include "qv/core/text.hpp"
#include "qv/core/variant.hpp"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

template <typename T>
T Take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof value ? size : sizeof value;
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

qv::Variant MakeVariant(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return qv::Variant();
  const std::uint8_t kind = *data++ % 12;
  --size;
  switch (kind) {
    case 0:
      return qv::Variant();
    case 1:
      return qv::Variant::Null();
    case 2:
      return qv::Variant(Take<qv::Integer>(data, size));
    case 3:
      return qv::Variant(Take<qv::Long>(data, size));
    case 4:
      return qv::Variant(Take<float>(data, size));
    case 5:
      return qv::Variant(Take<double>(data, size));
    case 6:
      return qv::Variant(qv::Date{Take<double>(data, size)});
    case 7:
      return qv::Variant::FromBoolean(Take<qv::Boolean>(data, size));
    case 8: {  // UTF-16 units, lone surrogates and all
      qv::String text;
      for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
      }
      return qv::Variant(text);
    }
    default:  // text as a user would type it
      return qv::Variant(qv::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size)));
  }
}

// A date as one number on the time line: for negative dates the fraction
// counts forward from the start of the day, so -1.25 is -0.75 here.
double Linear(double days) {
  const double whole = std::trunc(days);
  return whole + std::fabs(days - whole);
}

template <typename F>
auto Try(F&& f) -> std::optional<decltype(f())> {
  try {
    return f();
  } catch (const qv::AutomationError& error) {
    const qv::Long n = error.number();
    Check(n == qv::error_number::kInvalidProcedureCall || n == qv::error_number::kOverflow ||
          n == qv::error_number::kTypeMismatch || n == qv::error_number::kInvalidUseOfNull);
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const qv::Variant v = MakeVariant(data, size);

  const auto text = Try([&] { return qv::ToText(v); });
  const auto number = Try([&] { return qv::ToDouble(v); });
  const auto integer = Try([&] { return qv::ToInteger(v); });
  const auto long_value = Try([&] { return qv::ToLong(v); });
  Try([&] { return qv::ToBoolean(v); });
  const auto date = Try([&] { return qv::ToDate(v); });

  if (v.IsNull()) {
    Check(!text && !number && !integer && !long_value);
  }
  if (const qv::String* s = v.get_if<qv::String>()) {
    Check(text && *text == *s);
  }
  if (date) {
    Check(date->days >= qv::kMinDateDays && date->days <= qv::kMaxDateDays);
    // Every date in range has a calendar form and a text form that reads back
    // to the same second.
    const auto fields = qv::ToCalendar(*date);
    Check(fields.has_value());
    const auto date_text = qv::FormatDateText(*date);
    Check(date_text.has_value());
    const auto parsed = qv::ParseDateText(*date_text);
    Check(parsed.has_value());
    Check(std::fabs(Linear(parsed->days) - Linear(date->days)) <= 0.5 / 86400 + 1e-9);
  }
  // Rounding to a whole number moves a value by half at most.
  if (number && integer && !v.get_if<qv::Integer>()) {
    Check(std::fabs(*number - *integer) <= 0.5);
  }
  if (number && long_value && !v.get_if<qv::Long>()) {
    Check(std::fabs(*number - *long_value) <= 0.5);
  }

  // Whole numbers round trip through their text exactly.
  if (const qv::Integer* x = v.get_if<qv::Integer>()) {
    Check(text && qv::ToInteger(qv::Variant(*text)) == *x);
    Check(qv::ToLong(qv::Variant(*text)) == *x);
  }
  if (const qv::Long* x = v.get_if<qv::Long>()) {
    Check(text && qv::ToLong(qv::Variant(*text)) == *x);
  }
  // Floating values keep 15 (Single: 7) significant digits through their text.
  if (const double* x = v.get_if<double>(); x && std::isfinite(*x)) {
    const auto back = Try([&] { return qv::ToDouble(qv::Variant(*text)); });
    if (back) {
      Check(std::fabs(*back - *x) <= std::fabs(*x) * 1e-14);
    } else {
      // Only values that round up past the largest double at 15 digits.
      Check(std::fabs(*x) > 1.797693134862315e308);
    }
  }
  if (const float* x = v.get_if<float>(); x && std::isfinite(*x)) {
    const double back = qv::ToDouble(qv::Variant(*text));
    Check(std::fabs(back - *x) <= std::fabs(*x) * 1e-6);
  }
  // A Boolean's text reads back as the same Boolean.
  if (const auto* b = v.get_if<qv::Variant::BooleanValue>()) {
    Check(qv::ToBoolean(qv::Variant(*text)) == b->value);
  }
  // Any text that reads as a number reads as the same number again after it
  // has been formatted.
  if (v.get_if<qv::String>() && number && std::isfinite(*number)) {
    const qv::String formatted = qv::ToText(qv::Variant(*number));
    const auto back = Try([&] { return qv::ToDouble(qv::Variant(formatted)); });
    if (back) {
      Check(std::fabs(*back - *number) <= std::fabs(*number) * 1e-14);
    } else {
      Check(std::fabs(*number) > 1.797693134862315e308);
    }
  }
  return 0;
}
