// The pieces of the message text: header values, the Date header and the body.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "qv/core/date.hpp"
#include "qv/core/types.hpp"

namespace qv::mail {

// Text without its C0 control characters other than tab (CR, LF and NUL
// among them), so that it cannot end a command line early, smuggle in a
// command of its own, or carry what no server accepts in an address.
String WithoutControlCharacters(std::u16string_view text);

// A header value as written: every CR LF pair becomes one space, and so does
// every other C0 control character except tab, so a value can never start a
// header line of its own or carry a NUL.
String HeaderValue(std::u16string_view value);

// Appends the base64 form of bytes (RFC 4648, with padding).
void AppendBase64(std::string_view bytes, String& out);

// The UTF-8 octets of a UTF-16 unit: a surrogate is half of a four-octet
// character.
constexpr std::size_t Utf8Octets(char16_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : (c >= 0xD800 && c < 0xE000) ? 2 : 3;
}

// True when text holds a character outside ASCII.
bool HoldsNonAscii(std::u16string_view text);

// The value of an unstructured header (Subject, Priority, X-Mailer) as
// written after "Name: ", name_size being the length of that prefix. ASCII
// text is the HeaderValue unchanged. Text outside ASCII becomes a sequence of
// base64 encoded-words in UTF-8, folded (CR LF and a space before each word
// after the first) so that no line exceeds 78 characters; a word always holds
// whole UTF-8 sequences.
String UnstructuredHeaderValue(std::size_t name_size, std::u16string_view value);

// The Content-type value as written: when the message text holds characters
// outside ASCII (utf8_text) and the value declares the charset US-ASCII (any
// letter case, quoted or not), that charset becomes UTF-8, which is what goes
// on the wire; every other value is kept as given.
String DeclaredContentType(std::u16string_view content_type, bool utf8_text);

// Whether the Content-type value names a charset other than US-ASCII: a
// streamed body, which the control cannot read ahead, is then taken to hold
// 8-bit text.
bool DeclaresNonAsciiCharset(std::u16string_view content_type);

// A header line (without its line end) folded so that no line passes RFC
// 5322's 998 octets: a fold goes before the last space, or after the last
// comma, that keeps the line within the limit; where a stretch has neither,
// it is cut at the limit. A line that fits is returned unchanged.
String FoldedHeaderLine(std::u16string_view line);

// "ddd, d mmm yyyy hh:nn:ss" followed by a space and the zone as +hhmm/-hhmm,
// for example "Fri, 9 Mar 2001 07:05:03 -0500". Throws AutomationError (5)
// when no calendar date matches the value.
String DateHeaderText(Date date, int utc_offset_minutes);

// Appends the body in its transparent wire form: every bare CR or bare LF
// becomes CR LF, and a line that begins with "." gets a second one, so that no
// body line can end the data or lose its dot. Nothing is added at the end.
void AppendTransparentBody(std::u16string_view body, String& out);

// The transparent wire form of a body and its closing CR LF, as UTF-8.
std::string TransparentBodyUtf8(std::u16string_view body);

}  // namespace qv::mail
