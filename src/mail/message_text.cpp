#include "mail/message_text.hpp"

#include <cstdlib>

#include "mail/transparent_body.hpp"
#include "qv/core/automation_error.hpp"

namespace qv::mail {
namespace {

constexpr const char16_t* kDayNames[] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
constexpr const char16_t* kMonthNames[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                           u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};

void AppendNumber(String& out, int value, int min_digits) {
  char16_t digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value > 0);
  for (int i = count; i < min_digits; ++i) out.push_back(u'0');
  while (count > 0) out.push_back(digits[--count]);
}

}  // namespace

String WithoutLineBreaks(std::u16string_view text) {
  String out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (c != u'\r' && c != u'\n') out.push_back(c);
  }
  return out;
}

String HeaderValue(std::u16string_view value) {
  String out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (c == u'\r') {
      if (i + 1 < value.size() && value[i + 1] == u'\n') ++i;
      out.push_back(u' ');
    } else if (c == u'\n') {
      out.push_back(u' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

String DateHeaderText(Date date, int utc_offset_minutes) {
  const auto fields = ToCalendar(date);
  if (!fields) {
    throw AutomationError(error_number::kInvalidProcedureCall,
                          "DateHeader holds no calendar date for the Date header");
  }
  String out;
  out.reserve(32);
  out += kDayNames[fields->weekday];
  out += u", ";
  AppendNumber(out, fields->day, 1);
  out += u' ';
  out += kMonthNames[fields->month - 1];
  out += u' ';
  AppendNumber(out, fields->year, 4);
  out += u' ';
  AppendNumber(out, fields->hour, 2);
  out += u':';
  AppendNumber(out, fields->minute, 2);
  out += u':';
  AppendNumber(out, fields->second, 2);
  out += u' ';
  out += utc_offset_minutes < 0 ? u'-' : u'+';
  const int offset = std::abs(utc_offset_minutes);
  AppendNumber(out, offset / 60, 2);
  AppendNumber(out, offset % 60, 2);
  return out;
}

void AppendTransparentBody(std::u16string_view body, String& out) {
  // Most bodies grow only by their bare line ends and leading dots.
  out.reserve(out.size() + body.size() + body.size() / 64 + 16);
  TransparentBody<char16_t>().Encode(body, out);
}

}  // namespace qv::mail
