#include "qv/core/date.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <limits>

namespace qv {

// Readable failures; internal so that other test files may have their own.
static void PrintTo(const CalendarTime& t, std::ostream* os) {
  *os << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute << ":"
      << t.second << " weekday " << t.weekday;
}

namespace {

struct CalendarCase {
  double days;
  CalendarTime expected;
};

TEST(ToCalendarTest, KnownDates) {
  const CalendarCase cases[] = {
      {0.0, {1899, 12, 30, 0, 0, 0, 6}},
      {1.0, {1899, 12, 31, 0, 0, 0, 0}},
      {2.0, {1900, 1, 1, 0, 0, 0, 1}},
      {60.0, {1900, 2, 28, 0, 0, 0, 3}},
      {61.0, {1900, 3, 1, 0, 0, 0, 4}},  // 1900 has no 29 February
      {36585.0, {2000, 2, 29, 0, 0, 0, 2}},
      {36586.75, {2000, 3, 1, 18, 0, 0, 3}},
      {36959.29517361111, {2001, 3, 9, 7, 5, 3, 5}},
      {-109512.0, {1600, 2, 29, 0, 0, 0, 2}},
      {-53797.0, {1752, 9, 14, 0, 0, 0, 4}},
      {-657434.0, {100, 1, 1, 0, 0, 0, 5}},
      {-657434.75, {100, 1, 1, 18, 0, 0, 5}},  // times of the first day lie below its serial
      {2958465.0, {9999, 12, 31, 0, 0, 0, 5}},
      {2958465.5, {9999, 12, 31, 12, 0, 0, 5}},
      // Negative values: whole days back, then the time of day forward.
      {-1.25, {1899, 12, 29, 6, 0, 0, 5}},
      {-0.5, {1899, 12, 30, 12, 0, 0, 6}},
      {-2.75, {1899, 12, 28, 18, 0, 0, 4}},
      {-109511.5, {1600, 3, 1, 12, 0, 0, 3}},
      // Rounding to the nearest second, carrying into the next calendar day.
      {0.5 + 0.4 / 86400, {1899, 12, 30, 12, 0, 0, 6}},
      {0.5 + 0.6 / 86400, {1899, 12, 30, 12, 0, 1, 6}},
      {1.0 - 0.6 / 86400, {1899, 12, 30, 23, 59, 59, 6}},
      {1.0 - 0.4 / 86400, {1899, 12, 31, 0, 0, 0, 0}},
      {0.99999999, {1899, 12, 31, 0, 0, 0, 0}},
      {-1.99999999, {1899, 12, 30, 0, 0, 0, 6}},
      {-3.0 - 86399.6 / 86400, {1899, 12, 28, 0, 0, 0, 4}},
      // The very end of the range stays on its last day.
      {kMaxDateDays, {9999, 12, 31, 23, 59, 59, 5}},
  };
  for (const CalendarCase& c : cases) {
    const std::optional<CalendarTime> t = ToCalendar(Date{c.days});
    ASSERT_TRUE(t.has_value()) << c.days;
    EXPECT_EQ(*t, c.expected) << std::setprecision(17) << c.days;
  }
}

TEST(ToCalendarTest, NoCalendarDate) {
  const double cases[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          kMinDateDays - 1.0,
                          kMinDateDays - 0.5,
                          2958466.0,
                          1e300};
  for (double days : cases) EXPECT_FALSE(ToCalendar(Date{days}).has_value()) << days;
}

TEST(FromCalendarTest, RefusesFieldsThatNameNoDate) {
  struct Fields {
    int year, month, day, hour, minute, second;
  };
  const Fields cases[] = {
      {2001, 0, 1, 0, 0, 0},  {2001, 13, 1, 0, 0, 0}, {2001, 1, 0, 0, 0, 0},
      {2001, 1, 32, 0, 0, 0}, {2001, 4, 31, 0, 0, 0}, {2001, 2, 29, 0, 0, 0},
      {1900, 2, 29, 0, 0, 0}, {2000, 2, 30, 0, 0, 0}, {2001, 1, 1, 24, 0, 0},
      {2001, 1, 1, 0, 60, 0}, {2001, 1, 1, 0, 0, 60}, {2001, 1, 1, -1, 0, 0},
      {2001, 1, 1, 0, -1, 0}, {2001, 1, 1, 0, 0, -1}, {99, 12, 31, 0, 0, 0},
      {10000, 1, 1, 0, 0, 0}, {0, 1, 1, 0, 0, 0},     {-2001, 1, 1, 0, 0, 0},
  };
  for (const Fields& f : cases) {
    EXPECT_FALSE(FromCalendar(f.year, f.month, f.day, f.hour, f.minute, f.second).has_value())
        << f.year << "-" << f.month << "-" << f.day << " " << f.hour << ":" << f.minute << ":"
        << f.second;
  }
}

TEST(FromCalendarTest, KnownValues) {
  EXPECT_EQ(FromCalendar(1899, 12, 30), Date{0.0});
  EXPECT_EQ(FromCalendar(1899, 12, 30, 12), Date{0.5});
  EXPECT_EQ(FromCalendar(1899, 12, 29, 6), Date{-1.25});
  EXPECT_EQ(FromCalendar(2000, 2, 29), Date{36585.0});
  EXPECT_EQ(FromCalendar(1600, 2, 29), Date{-109512.0});
  EXPECT_EQ(FromCalendar(100, 1, 1), Date{-657434.0});
  EXPECT_EQ(FromCalendar(100, 1, 1, 23, 59, 59), Date{-657434.0 - 86399.0 / 86400.0});
  EXPECT_EQ(FromCalendar(9999, 12, 31), Date{2958465.0});
  const std::optional<Date> d = FromCalendar(2001, 3, 9, 7, 5, 3);
  ASSERT_TRUE(d.has_value());
  EXPECT_NEAR(d->days, 36959.29517361111, 1e-9);
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Walks every day of the range: each is the day after the one before, the weekday
// advances by one, and the calendar fields lead back to the same value.
TEST(DateRoundTripTest, EveryDayOfTheRange) {
  const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  CalendarTime previous = *ToCalendar(Date{-657434.0});
  int second_of_day = 0;
  for (long day = -657434 + 1; day <= 2958465; ++day) {
    // A different time of day on each day, from 00:00:00 to 23:59:59.
    second_of_day = (second_of_day + 7919) % 86400;
    const int hour = second_of_day / 3600;
    const int minute = second_of_day / 60 % 60;
    const int second = second_of_day % 60;

    CalendarTime next = previous;
    next.weekday = (previous.weekday + 1) % 7;
    const int last =
        previous.month == 2 && IsLeap(previous.year) ? 29 : month_days[previous.month - 1];
    if (++next.day > last) {
      next.day = 1;
      if (++next.month > 12) {
        next.month = 1;
        ++next.year;
      }
    }
    next.hour = hour;
    next.minute = minute;
    next.second = second;

    const std::optional<Date> date =
        FromCalendar(next.year, next.month, next.day, hour, minute, second);
    ASSERT_TRUE(date.has_value()) << day;
    ASSERT_EQ(day < 0 ? std::ceil(date->days) : std::floor(date->days), static_cast<double>(day));
    const std::optional<CalendarTime> back = ToCalendar(*date);
    ASSERT_TRUE(back.has_value()) << day;
    ASSERT_EQ(*back, next) << "day " << day;
    previous = next;
  }
  EXPECT_EQ(previous.year, 9999);
  EXPECT_EQ(previous.month, 12);
  EXPECT_EQ(previous.day, 31);
}

TEST(FormatDateTextTest, FixedWidthFields) {
  EXPECT_EQ(FormatDateText(Date{0.0}), u"1899-12-30 00:00:00");
  EXPECT_EQ(FormatDateText(Date{36959.29517361111}), u"2001-03-09 07:05:03");
  EXPECT_EQ(FormatDateText(Date{-657434.0}), u"0100-01-01 00:00:00");
  EXPECT_EQ(FormatDateText(Date{-657434.5}), u"0100-01-01 12:00:00");
  EXPECT_EQ(FormatDateText(Date{kMaxDateDays}), u"9999-12-31 23:59:59");
  EXPECT_EQ(FormatDateText(Date{-1.25}), u"1899-12-29 06:00:00");
  EXPECT_FALSE(FormatDateText(Date{std::numeric_limits<double>::quiet_NaN()}).has_value());
  EXPECT_FALSE(FormatDateText(Date{3e6}).has_value());
}

TEST(ParseDateTextTest, AcceptedForms) {
  const Date expected = *FromCalendar(2001, 3, 9, 7, 5, 3);
  EXPECT_EQ(ParseDateText(u"2001-03-09 07:05:03"), expected);
  EXPECT_EQ(ParseDateText(u"2001-03-09T07:05:03"), expected);
  EXPECT_EQ(ParseDateText(u"  2001-03-09 07:05:03  "), expected);
  EXPECT_EQ(ParseDateText(u"2001-03-09"), FromCalendar(2001, 3, 9));
  EXPECT_EQ(ParseDateText(u" 1899-12-29 06:00:00"), Date{-1.25});
  EXPECT_EQ(ParseDateText(u"0100-01-01"), Date{-657434.0});
}

TEST(ParseDateTextTest, RefusedTexts) {
  const char16_t* cases[] = {
      u"",
      u"   ",
      u"2001-3-9",
      u"2001-03-9",
      u"01-03-09",
      u"2001/03/09",
      u"2001-03-09 07:05",
      u"2001-03-09 7:05:03",
      u"2001-03-09x07:05:03",
      u"2001-03-09  07:05:03",
      u"2001-03-09 07:05:03Z",
      u"2001-03-09 07:05:03.5",
      u"2001-02-30",
      u"2001-13-01",
      u"2001-03-09 24:00:00",
      u"2001-03-09 23:60:00",
      u"0099-12-31",
      u"+001-03-09",
      u"2001-03-0\uff19",  // a digit, but not an ASCII one
      u"36959.5",
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_FALSE(ParseDateText(cases[i]).has_value()) << "case " << i;
  }
}

TEST(ParseDateTextTest, RoundTripsWithFormat) {
  for (double days = -657434.0; days < kMaxDateDays; days += 9973.123456) {
    const std::optional<String> text = FormatDateText(Date{days});
    ASSERT_TRUE(text.has_value());
    const std::optional<Date> parsed = ParseDateText(*text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(FormatDateText(*parsed), text);
    EXPECT_NEAR(parsed->days, days, 0.6 / 86400) << days;
  }
}

}  // namespace
}  // namespace qv
