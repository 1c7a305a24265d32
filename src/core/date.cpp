#include "qv/core/date.hpp"

#include <cmath>
#include <cstdint>

namespace qv {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 of a proleptic Gregorian date (era arithmetic, valid for
// any year).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  int year;
  int month;
  int day;
};

Civil CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int>(y + (m <= 2 ? 1 : 0)), static_cast<int>(m), static_cast<int>(d)};
}

// 30 December 1899 counted from 1970-01-01.
constexpr std::int64_t kEpochFromUnixDays = -25569;

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Serial day of 31 December 9999, the last day a date can name.
constexpr std::int64_t kLastDay = 2958465;

void PutDigits(String& out, int value, int width) {
  char16_t digits[4];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  }
  out.append(digits, static_cast<std::size_t>(width));
}

bool ReadDigits(std::u16string_view text, std::size_t pos, int width, int& value) {
  if (pos + static_cast<std::size_t>(width) > text.size()) return false;
  value = 0;
  for (int i = 0; i < width; ++i) {
    const char16_t c = text[pos + static_cast<std::size_t>(i)];
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
  }
  return true;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::optional<CalendarTime> ToCalendar(Date date) {
  const double value = date.days;
  if (!std::isfinite(value) || value < kMinDateDays || value > kMaxDateDays) return std::nullopt;
  const double whole = std::trunc(value);
  auto days = static_cast<std::int64_t>(whole);
  // The fraction is the time of day whatever the sign of the days.
  auto seconds = static_cast<std::int64_t>(std::llround(std::fabs(value - whole) * kSecondsPerDay));
  if (seconds >= kSecondsPerDay) {
    ++days;
    seconds -= kSecondsPerDay;
  }
  // The last moments of 31 December 9999 have no next day to round into.
  if (days > kLastDay) {
    days = kLastDay;
    seconds = kSecondsPerDay - 1;
  }
  const Civil civil = CivilFromDays(days + kEpochFromUnixDays);
  CalendarTime result;
  result.year = civil.year;
  result.month = civil.month;
  result.day = civil.day;
  result.hour = static_cast<int>(seconds / 3600);
  result.minute = static_cast<int>(seconds / 60 % 60);
  result.second = static_cast<int>(seconds % 60);
  // Day 0 was a Saturday.
  result.weekday = static_cast<int>(((days + 6) % 7 + 7) % 7);
  return result;
}

std::optional<Date> FromCalendar(int year, int month, int day, int hour, int minute, int second) {
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59) {
    return std::nullopt;
  }
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
      kEpochFromUnixDays;
  const double fraction =
      static_cast<double>(hour * 3600 + minute * 60 + second) / static_cast<double>(kSecondsPerDay);
  const auto whole = static_cast<double>(days);
  return Date{days < 0 ? whole - fraction : whole + fraction};
}

std::optional<String> FormatDateText(Date date) {
  const std::optional<CalendarTime> t = ToCalendar(date);
  if (!t) return std::nullopt;
  String out;
  out.reserve(19);
  PutDigits(out, t->year, 4);
  out.push_back(u'-');
  PutDigits(out, t->month, 2);
  out.push_back(u'-');
  PutDigits(out, t->day, 2);
  out.push_back(u' ');
  PutDigits(out, t->hour, 2);
  out.push_back(u':');
  PutDigits(out, t->minute, 2);
  out.push_back(u':');
  PutDigits(out, t->second, 2);
  return out;
}

std::optional<Date> ParseDateText(std::u16string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);

  int year = 0;
  int month = 0;
  int day = 0;
  if (text.size() < 10 || !ReadDigits(text, 0, 4, year) || text[4] != u'-' ||
      !ReadDigits(text, 5, 2, month) || text[7] != u'-' || !ReadDigits(text, 8, 2, day)) {
    return std::nullopt;
  }
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (text.size() != 10) {
    if (text.size() != 19 || (text[10] != u' ' && text[10] != u'T') ||
        !ReadDigits(text, 11, 2, hour) || text[13] != u':' || !ReadDigits(text, 14, 2, minute) ||
        text[16] != u':' || !ReadDigits(text, 17, 2, second)) {
      return std::nullopt;
    }
  }
  return FromCalendar(year, month, day, hour, minute, second);
}

}  // namespace qv
