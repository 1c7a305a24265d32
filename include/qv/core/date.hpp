// The automation date: days since 30 December 1899 00:00, the fraction being
// the time of day. For negative values the integer part counts days back from
// that date and the fraction is still the time of day counted forward, so
// -1.25 is 29 December 1899 06:00.
#pragma once

#include <optional>
#include <string_view>

#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

struct QV_EXPORT Date {
  double days = 0.0;

  friend bool operator==(const Date&, const Date&) = default;
};

// Dates from 1 January 100 to 31 December 9999, as the automation date allows.
inline constexpr double kMinDateDays = -657434.99999999;  // 1 Jan 100 23:59:59.999
inline constexpr double kMaxDateDays = 2958465.99999999;

struct QV_EXPORT CalendarTime {
  int year = 1899;
  int month = 12;  // 1 to 12
  int day = 30;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 6;  // 0 Sunday to 6 Saturday

  friend bool operator==(const CalendarTime&, const CalendarTime&) = default;
};

// Calendar fields of a date, the time rounded to the nearest second (23:59:59.6
// becomes 00:00:00 of the next day). Empty when no calendar date matches: NaN,
// infinities, or a value outside kMinDateDays..kMaxDateDays.
QV_EXPORT std::optional<CalendarTime> ToCalendar(Date date);

// The date of calendar fields (weekday ignored). Empty when the fields name no
// date (month 13, 30 February, hour 24, a year outside 100..9999, ...).
QV_EXPORT std::optional<Date> FromCalendar(int year, int month, int day, int hour = 0,
                                           int minute = 0, int second = 0);

// The text form of a date used by Variant and the program: "YYYY-MM-DD HH:MM:SS".
// Empty when no calendar date matches.
QV_EXPORT std::optional<String> FormatDateText(Date date);

// Reads "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DDTHH:MM:SS" or "YYYY-MM-DD" (surrounding
// spaces allowed). Empty for anything else or an impossible date.
QV_EXPORT std::optional<Date> ParseDateText(std::u16string_view text);

}  // namespace qv
