#include "qv/core/variant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"

namespace qv {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Describe(const Variant& v) {
  try {
    return "type " + std::to_string(static_cast<int>(v.type())) + " '" + ToUtf8(ToText(v)) + "'";
  } catch (const AutomationError&) {
    return "type " + std::to_string(static_cast<int>(v.type()));
  }
}

// Runs f and gives the error number it raised, or 0 when it raised none.
template <typename F>
Long ErrorOf(F f) {
  try {
    f();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.what(), DefaultErrorText(e.number()));
    return e.number();
  }
  return 0;
}

TEST(VariantTest, TypeFollowsTheHeldKind) {
  EXPECT_EQ(Variant().type(), VarType::kEmpty);
  EXPECT_EQ(Variant::Null().type(), VarType::kNull);
  EXPECT_EQ(Variant(Integer{1}).type(), VarType::kInteger);
  EXPECT_EQ(Variant(Long{1}).type(), VarType::kLong);
  EXPECT_EQ(Variant(1.0f).type(), VarType::kSingle);
  EXPECT_EQ(Variant(1.0).type(), VarType::kDouble);
  EXPECT_EQ(Variant(Date{1.0}).type(), VarType::kDate);
  EXPECT_EQ(Variant(u"x").type(), VarType::kString);
  EXPECT_EQ(Variant(true).type(), VarType::kBoolean);
  EXPECT_EQ(Variant::FromBoolean(5), Variant(true));
}

struct TextCase {
  Variant value;
  std::u16string expected;
};

TEST(ToTextTest, TextForms) {
  const TextCase cases[] = {
      {Variant(), u""},
      {Variant(u"  as is  "), u"  as is  "},
      {Variant(Integer{-32768}), u"-32768"},
      {Variant(Long{2147483647}), u"2147483647"},
      {Variant(true), u"True"},
      {Variant(false), u"False"},
      {Variant(Date{36959.29517361111}), u"2001-03-09 07:05:03"},
      {Variant(Date{0.0}), u"1899-12-30 00:00:00"},
      {Variant(5.0), u"5"},
      {Variant(-3.0), u"-3"},
      {Variant(0.0), u"0"},
      {Variant(-0.0), u"0"},
      {Variant(0.5), u"0.5"},
      {Variant(-1.25), u"-1.25"},
      {Variant(0.1 + 0.2), u"0.3"},
      {Variant(1.0 / 3.0), u"0.333333333333333"},
      {Variant(2.0 / 3.0), u"0.666666666666667"},
      {Variant(100000000000000.0), u"100000000000000"},
      {Variant(123456789012345.0), u"123456789012345"},
      {Variant(1e15), u"1E+15"},
      {Variant(1e20), u"1E+20"},
      {Variant(1.5e-7), u"1.5E-07"},
      {Variant(-2.5e-5), u"-2.5E-05"},
      {Variant(0.0001), u"0.0001"},
      {Variant(1e100), u"1E+100"},
      {Variant(1.7976931348623157e308), u"1.79769313486232E+308"},
      {Variant(123456789012345678.0), u"1.23456789012346E+17"},
      {Variant(0.1f), u"0.1"},
      {Variant(1.0f / 3.0f), u"0.3333333"},
      {Variant(16777216.0f), u"1.677722E+07"},
      {Variant(-2.5f), u"-2.5"},
      {Variant(1e-10f), u"1E-10"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(ToText(c.value), c.expected) << Describe(c.value);
  }
}

TEST(ToTextTest, Failures) {
  EXPECT_EQ(ErrorOf([] { ToText(Variant::Null()); }), error_number::kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { ToText(Variant(Date{kNaN})); }), error_number::kInvalidProcedureCall);
  EXPECT_EQ(ErrorOf([] { ToText(Variant(Date{3e6})); }), error_number::kInvalidProcedureCall);
}

struct NumberCase {
  Variant value;
  double expected;
};

TEST(ToIntegerTest, RoundsHalfToEven) {
  const NumberCase cases[] = {
      {Variant(2.5), 2},         {Variant(3.5), 4},
      {Variant(-2.5), -2},       {Variant(-3.5), -4},
      {Variant(0.5), 0},         {Variant(1.5), 2},
      {Variant(-0.5), 0},        {Variant(2.4999), 2},
      {Variant(2.5001), 3},      {Variant(-2.6), -3},
      {Variant(32767.4), 32767}, {Variant(-32768.5), -32768},
      {Variant(2.5f), 2},        {Variant(Long{-7}), -7},
      {Variant(Integer{9}), 9},  {Variant(), 0},
      {Variant(true), -1},       {Variant(false), 0},
      {Variant(Date{1.5}), 2},   {Variant(u" 12 "), 12},
      {Variant(u"2.5"), 2},      {Variant(u"+7"), 7},
      {Variant(u"-7"), -7},      {Variant(u"1e2"), 100},
      {Variant(u"1.5E+1"), 15},  {Variant(u".5"), 0},
      {Variant(u"5."), 5},       {Variant(u"\t-0012.5 "), -12},
      {Variant(u"1e-400"), 0},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(ToInteger(c.value), c.expected) << Describe(c.value);
  }
}

struct FailureCase {
  Variant value;
  Long expected;
};

TEST(ToIntegerTest, Failures) {
  const FailureCase cases[] = {
      {Variant::Null(), error_number::kInvalidUseOfNull},
      {Variant(Long{32768}), error_number::kOverflow},
      {Variant(Long{-32769}), error_number::kOverflow},
      {Variant(32767.5), error_number::kOverflow},
      {Variant(-32768.6), error_number::kOverflow},
      {Variant(kNaN), error_number::kOverflow},
      {Variant(kInf), error_number::kOverflow},
      {Variant(u"40000"), error_number::kOverflow},
      {Variant(u"1e400"), error_number::kOverflow},
      {Variant(Date{40000.0}), error_number::kOverflow},
      {Variant(u""), error_number::kTypeMismatch},
      {Variant(u"   "), error_number::kTypeMismatch},
      {Variant(u"abc"), error_number::kTypeMismatch},
      {Variant(u"True"), error_number::kTypeMismatch},
      {Variant(u"12abc"), error_number::kTypeMismatch},
      {Variant(u"1 2"), error_number::kTypeMismatch},
      {Variant(u"1,5"), error_number::kTypeMismatch},
      {Variant(u"1e"), error_number::kTypeMismatch},
      {Variant(u"1e+"), error_number::kTypeMismatch},
      {Variant(u"."), error_number::kTypeMismatch},
      {Variant(u"+-1"), error_number::kTypeMismatch},
      {Variant(u"--1"), error_number::kTypeMismatch},
      {Variant(u"inf"), error_number::kTypeMismatch},
      {Variant(u"nan"), error_number::kTypeMismatch},
      {Variant(u"0x10"), error_number::kTypeMismatch},
      {Variant(u"\uff11"), error_number::kTypeMismatch},
      {Variant(u"2001-03-09"), error_number::kTypeMismatch},
  };
  for (const FailureCase& c : cases) {
    EXPECT_EQ(ErrorOf([&] { ToInteger(c.value); }), c.expected) << Describe(c.value);
  }
}

TEST(ToLongTest, RangeAndRounding) {
  EXPECT_EQ(ToLong(Variant(2147483647.4)), 2147483647);
  EXPECT_EQ(ToLong(Variant(-2147483648.5)), -2147483647 - 1);
  EXPECT_EQ(ToLong(Variant(u"-2147483648")), -2147483647 - 1);
  EXPECT_EQ(ToLong(Variant(Integer{-5})), -5);
  EXPECT_EQ(ToLong(Variant(4.5)), 4);
  EXPECT_EQ(ToLong(Variant(Date{36959.5})), 36960);
  EXPECT_EQ(ErrorOf([] { ToLong(Variant(2147483647.5)); }), error_number::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToLong(Variant(u"2147483648")); }), error_number::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToLong(Variant::Null()); }), error_number::kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { ToLong(Variant(u"False")); }), error_number::kTypeMismatch);
}

TEST(ToDoubleTest, Conversions) {
  const NumberCase cases[] = {
      {Variant(), 0.0},
      {Variant(true), -1.0},
      {Variant(Integer{-3}), -3.0},
      {Variant(0.25f), 0.25},
      {Variant(Date{-1.25}), -1.25},
      {Variant(u" -1.25E+2 "), -125.0},
      {Variant(u"0.1"), 0.1},
      {Variant(u"1e-400"), 0.0},
      {Variant(u"0.000000000000000000000000000000000000000000000000001e-300"), 0.0},
      {Variant(u"1.7976931348623157e308"), 1.7976931348623157e308},
      {Variant(u"123456789012345678901234567890"), 123456789012345678901234567890.0},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(ToDouble(c.value), c.expected) << Describe(c.value);
  }
  EXPECT_EQ(ErrorOf([] { ToDouble(Variant(u"1e309")); }), error_number::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToDouble(Variant(u"-1e309")); }), error_number::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToDouble(Variant(u"infinity")); }), error_number::kTypeMismatch);
}

TEST(ToDoubleTest, TextRoundTripsThroughToText) {
  const double values[] = {0.1, -2.5, 1e20, 1.5e-7, 12345.678, 1e-300, 9.87654321e123};
  for (double v : values) {
    EXPECT_EQ(ToDouble(Variant(ToText(Variant(v)))), v) << v;
  }
}

TEST(ToBooleanTest, Conversions) {
  struct Case {
    Variant value;
    Boolean expected;
  };
  const Case cases[] = {
      {Variant(), kFalse},           {Variant(true), kTrue},        {Variant(false), kFalse},
      {Variant(Integer{0}), kFalse}, {Variant(Integer{2}), kTrue},  {Variant(Long{-1}), kTrue},
      {Variant(0.0), kFalse},        {Variant(0.001), kTrue},       {Variant(-0.0f), kFalse},
      {Variant(Date{0.0}), kFalse},  {Variant(Date{1.5}), kTrue},   {Variant(u"True"), kTrue},
      {Variant(u"tRUE"), kTrue},     {Variant(u" false "), kFalse}, {Variant(u"FALSE"), kFalse},
      {Variant(u"0"), kFalse},       {Variant(u"-1"), kTrue},       {Variant(u"0.5"), kTrue},
      {Variant(u"0e5"), kFalse},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToBoolean(c.value), c.expected) << Describe(c.value);
  }
  EXPECT_EQ(ErrorOf([] { ToBoolean(Variant::Null()); }), error_number::kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { ToBoolean(Variant(u"yes")); }), error_number::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { ToBoolean(Variant(u"")); }), error_number::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { ToBoolean(Variant(u"truex")); }), error_number::kTypeMismatch);
}

TEST(ToDateTest, Conversions) {
  struct Case {
    Variant value;
    double expected;
  };
  const Case cases[] = {
      {Variant(), 0.0},
      {Variant(Integer{0}), 0.0},
      {Variant(Long{36959}), 36959.0},
      {Variant(-1.25), -1.25},
      {Variant(true), -1.0},
      {Variant(Date{12.5}), 12.5},
      {Variant(u"1899-12-30 12:00:00"), 0.5},
      {Variant(u" 2000-02-29 "), 36585.0},
      {Variant(u"36959.5"), 36959.5},
      {Variant(kMinDateDays), kMinDateDays},
      {Variant(kMaxDateDays), kMaxDateDays},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToDate(c.value), Date{c.expected}) << Describe(c.value);
  }
  EXPECT_EQ(ToDate(Variant(u"2001-03-09T07:05:03")), FromCalendar(2001, 3, 9, 7, 5, 3));

  const FailureCase failures[] = {
      {Variant::Null(), error_number::kInvalidUseOfNull},
      {Variant(Long{2958466}), error_number::kOverflow},
      {Variant(kMinDateDays - 1), error_number::kOverflow},
      {Variant(kNaN), error_number::kOverflow},
      {Variant(u"9999999"), error_number::kOverflow},
      {Variant(Date{-1e7}), error_number::kOverflow},
      {Variant(u"hello"), error_number::kTypeMismatch},
      {Variant(u"2001-02-30"), error_number::kTypeMismatch},
      {Variant(u"True"), error_number::kTypeMismatch},
  };
  for (const FailureCase& c : failures) {
    EXPECT_EQ(ErrorOf([&] { ToDate(c.value); }), c.expected) << Describe(c.value);
  }
}

TEST(DefaultErrorTextTest, KnownNumbersAndDispatchStatuses) {
  struct Case {
    Long number;
    const char* text;
  };
  const Case cases[] = {
      {5, "Invalid procedure call or argument"},
      {6, "Overflow"},
      {13, "Type mismatch"},
      {94, "Invalid use of Null"},
      {393, "Property cannot be set while the container runs"},
      {394, "Property cannot be set at design time"},
      {static_cast<Long>(0x80020003u), "Member not found"},
      {static_cast<Long>(0x8002000Eu), "Invalid number of parameters"},
      {static_cast<Long>(0x80020005u), "Type mismatch"},
      {static_cast<Long>(0x80040111u), "Class not available"},
      {12345, "Automation error 12345"},
      {0, "Automation error 0"},
      {-1, "Automation error -1"},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultErrorText(c.number), c.text) << c.number;
}

}  // namespace
}  // namespace qv
