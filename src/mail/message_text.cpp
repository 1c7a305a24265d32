#include "mail/message_text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/mail/body_encoder.hpp"

namespace qv::mail {
namespace {

constexpr const char16_t* kDayNames[] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
constexpr const char16_t* kMonthNames[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                           u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};

constexpr std::size_t kHeaderLineLimit = 78;
// An encoded-word is at most 75 characters: 12 of frame and 60 of base64,
// which carry 45 bytes.
constexpr std::u16string_view kWordStart = u"=?UTF-8?B?";
constexpr std::u16string_view kWordEnd = u"?=";
constexpr std::size_t kWordFrame = 12;
constexpr std::size_t kWordBytes = 45;

bool IsControlCharacter(char16_t c) { return c < 0x20 && c != u'\t'; }

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

// Position of needle (lower-case ASCII) in text, ignoring letter case.
std::size_t FindIgnoringCase(std::u16string_view text, std::u16string_view needle,
                             std::size_t from = 0) {
  for (std::size_t at = from; at + needle.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < needle.size() && AsciiLower(text[at + i]) == needle[i]) ++i;
    if (i == needle.size()) return at;
  }
  return std::u16string_view::npos;
}

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

void AppendBase64(std::string_view bytes, String& out) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(n >> shift) & 63]);
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : u'=');
    out.push_back(u'=');
  }
}

String WithoutControlCharacters(std::u16string_view text) {
  String out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (!IsControlCharacter(c)) out.push_back(c);
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
    } else if (IsControlCharacter(c)) {
      out.push_back(u' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool HoldsNonAscii(std::u16string_view text) {
  // Eight units at a time: a body may be hundreds of megabytes.
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  for (; end - p >= 8; p += 8) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, p, sizeof a);
    std::memcpy(&b, p + 4, sizeof b);
    if (((a | b) & 0xFF80FF80FF80FF80ULL) != 0) return true;
  }
  return std::any_of(p, end, [](char16_t c) { return c > 0x7F; });
}

String UnstructuredHeaderValue(std::size_t name_size, std::u16string_view value) {
  String text = HeaderValue(value);
  if (!HoldsNonAscii(text)) return text;
  const std::string bytes = ToUtf8(text);
  String out;
  std::size_t used = name_size;  // characters already on the current line
  for (std::size_t from = 0; from < bytes.size();) {
    if (!out.empty()) {
      out += u"\r\n ";
      used = 1;
    }
    const std::size_t room =
        used + kWordFrame < kHeaderLineLimit
            ? std::min(kWordBytes, (kHeaderLineLimit - used - kWordFrame) / 4 * 3)
            : 0;
    // Whole sequences only; at least one, even where the line must run long.
    std::size_t to = from + Utf8SequenceLength(static_cast<unsigned char>(bytes[from]));
    while (to < bytes.size()) {
      const std::size_t next = to + Utf8SequenceLength(static_cast<unsigned char>(bytes[to]));
      if (next - from > room) break;
      to = next;
    }
    out += kWordStart;
    AppendBase64(std::string_view(bytes).substr(from, to - from), out);
    out += kWordEnd;
    from = to;
  }
  return out;
}

namespace {

// Where the value of each charset parameter starts (after "=", spaces and an
// opening quote), and whether it is US-ASCII as a whole name, not the start of
// a longer one.
struct CharsetValue {
  std::size_t start;
  bool us_ascii;
};

std::vector<CharsetValue> CharsetValues(std::u16string_view content_type) {
  std::vector<CharsetValue> values;
  for (std::size_t at = FindIgnoringCase(content_type, u"charset"); at != String::npos;
       at = FindIgnoringCase(content_type, u"charset", at + 1)) {
    std::size_t value = at + 7;
    while (value < content_type.size() && content_type[value] == u' ') ++value;
    if (value >= content_type.size() || content_type[value] != u'=') continue;
    ++value;
    while (value < content_type.size() && content_type[value] == u' ') ++value;
    if (value < content_type.size() && content_type[value] == u'"') ++value;
    const std::size_t end = value + 8;
    const bool us_ascii =
        FindIgnoringCase(content_type, u"us-ascii", value) == value &&
        (end >= content_type.size() || content_type[end] == u';' || content_type[end] == u' ' ||
         content_type[end] == u'"' || content_type[end] == u'\t');
    values.push_back({value, us_ascii});
  }
  return values;
}

}  // namespace

String DeclaredContentType(std::u16string_view content_type, bool utf8_text) {
  String out(content_type);
  if (!utf8_text) return out;
  const std::vector<CharsetValue> values = CharsetValues(content_type);
  // From the back: each replacement moves what follows it.
  for (auto value = values.rbegin(); value != values.rend(); ++value) {
    if (value->us_ascii) out.replace(value->start, 8, u"UTF-8");
  }
  return out;
}

bool DeclaresNonAsciiCharset(std::u16string_view content_type) {
  for (const CharsetValue& value : CharsetValues(content_type)) {
    if (!value.us_ascii && value.start < content_type.size()) return true;
  }
  return false;
}

String FoldedHeaderLine(std::u16string_view line) {
  constexpr std::size_t kLineOctets = 998;
  String out;
  std::size_t start = 0;  // of the current line, in line
  while (true) {
    std::size_t used = start == 0 ? 0 : 1;  // a continuation starts with its space
    std::size_t end = start;
    while (end < line.size() && used + Utf8Octets(line[end]) <= kLineOctets)
      used += Utf8Octets(line[end++]);
    if (end == line.size()) {
      out.append(line.substr(start));
      return out;
    }
    // The latest break in [start, end]: before a space, or after a comma.
    std::size_t cut = end;
    while (cut > start + 1 && line[cut] != u' ' && line[cut - 1] != u',') --cut;
    if (cut <= start + 1) cut = end;
    if (cut < line.size() && line[cut] >= 0xDC00 && line[cut] < 0xE000) --cut;  // whole pairs
    out.append(line.substr(start, cut - start));
    out += u"\r\n";
    if (line[cut] == u' ') {
      start = cut;  // the space starts the continuation
      out += u' ';
      ++start;
    } else {
      out += u' ';
      start = cut;
    }
  }
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
  BodyEncoder().Encode(body, out);
}

std::string TransparentBodyUtf8(std::u16string_view body) {
  String wire;
  AppendTransparentBody(body, wire);
  wire += u"\r\n";
  return ToUtf8(wire);
}

}  // namespace qv::mail
