#include "qv/host/clock.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

namespace qv {
namespace {

// Sets TZ for one test and puts the previous setting back afterwards.
class SystemClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("TZ");
    if (previous != nullptr) saved_tz_ = previous;
  }
  void TearDown() override {
    if (saved_tz_) {
      setenv("TZ", saved_tz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  static Date At(int year, int month, int day, int hour = 12, int minute = 0) {
    return *FromCalendar(year, month, day, hour, minute);
  }

  SystemClock clock_;

 private:
  std::optional<std::string> saved_tz_;
};

TEST_F(SystemClockTest, OffsetFollowsDaylightSavingOfTheDate) {
  struct Case {
    const char* zone;
    Date local;
    int expected;
  };
  const Case cases[] = {
      {"America/New_York", At(2021, 7, 15), -240},
      {"America/New_York", At(2021, 1, 15), -300},
      // Before and after the spring change at 02:00 local on 14 March 2021.
      {"America/New_York", At(2021, 3, 14, 1, 59), -300},
      {"America/New_York", At(2021, 3, 14, 3, 0), -240},
      {"Europe/Berlin", At(2021, 7, 15), 120},
      {"Europe/Berlin", At(2021, 12, 24), 60},
      {"Australia/Sydney", At(2021, 1, 15), 660},
      {"Australia/Sydney", At(2021, 7, 15), 600},
      {"Asia/Kolkata", At(2021, 7, 15), 330},
      {"UTC", At(2021, 7, 15), 0},
      // Dates long before or after the present are still answered by the rules.
      {"Europe/Berlin", At(2150, 7, 1), 120},
      {"America/New_York", At(1950, 1, 1), -300},
  };
  for (const Case& c : cases) {
    UseZone(c.zone);
    EXPECT_EQ(clock_.UtcOffsetMinutes(c.local), c.expected) << c.zone << " " << c.local.days;
  }
}

TEST_F(SystemClockTest, OffsetOfANonDateIsTheCurrentOne) {
  UseZone("Asia/Kolkata");
  EXPECT_EQ(clock_.UtcOffsetMinutes(Date{std::numeric_limits<double>::quiet_NaN()}), 330);
  EXPECT_EQ(clock_.UtcOffsetMinutes(Date{1e9}), 330);
  UseZone("Etc/GMT+5");
  EXPECT_EQ(clock_.UtcOffsetMinutes(Date{-1e9}), -300);
}

// The Unix time as a date in a zone of fixed offset.
double UnixNowAsDays(int offset_minutes) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const double seconds = static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
  return 25569.0 + (seconds + offset_minutes * 60.0) / 86400.0;
}

TEST_F(SystemClockTest, NowIsLocalTimeWithItsFraction) {
  const struct {
    const char* zone;
    int offset_minutes;  // INT_MIN: the zone's offset now
  } zones[] = {{"UTC", 0},
               {"Etc/GMT+5", -300},
               {"Asia/Kolkata", 330},
               // Daylight saving starts at local midnight (as in Santiago or
               // Cairo): that day's midnight does not exist.
               {"AAA3BBB,M12.2.2/0,M3.2.0/0", INT_MIN}};
  for (auto z : zones) {
    UseZone(z.zone);
    if (z.offset_minutes == INT_MIN) {
      const time_t unix_now = time(nullptr);
      struct tm local {};
      localtime_r(&unix_now, &local);
      z.offset_minutes = static_cast<int>(local.tm_gmtoff / 60);
    }
    const double before = UnixNowAsDays(z.offset_minutes);
    const Date now = clock_.Now();
    const double after = UnixNowAsDays(z.offset_minutes);
    // Within a millisecond of the reference readings.
    EXPECT_GE(now.days, before - 0.001 / 86400) << z.zone;
    EXPECT_LE(now.days, after + 0.001 / 86400) << z.zone;
  }
}

TEST_F(SystemClockTest, SecondsSinceMidnightMatchesNow) {
  UseZone("Asia/Kolkata");
  for (int attempt = 0; attempt < 3; ++attempt) {
    const Date now = clock_.Now();
    const double seconds = clock_.SecondsSinceMidnight();
    ASSERT_GE(seconds, 0.0);
    ASSERT_LT(seconds, 86400.0);
    const double expected = (now.days - std::floor(now.days)) * 86400.0;
    if (expected > 86399.0) continue;  // midnight passed between the readings
    EXPECT_NEAR(seconds, expected, 0.5);
    // The fraction of the second is kept (a whole second on every reading
    // would mean it was dropped).
    bool has_fraction = false;
    for (int i = 0; i < 5; ++i) {
      const double s = clock_.SecondsSinceMidnight();
      has_fraction = has_fraction || s != std::floor(s);
    }
    EXPECT_TRUE(has_fraction);
    EXPECT_NE(now.days * 86400.0, std::floor(now.days * 86400.0));
    return;
  }
}

}  // namespace
}  // namespace qv
