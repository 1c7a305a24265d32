// The pieces of the message text: header values, the Date header and the body.
#pragma once

#include <string_view>

#include "qv/core/date.hpp"
#include "qv/core/types.hpp"

namespace qv::mail {

// Text without its CR and LF characters, so that it cannot end a command line
// early and smuggle in a command of its own.
String WithoutLineBreaks(std::u16string_view text);

// A header value as written: every CR LF pair, lone CR or lone LF becomes one
// space, so a value can never start a header line of its own.
String HeaderValue(std::u16string_view value);

// "ddd, d mmm yyyy hh:nn:ss" followed by a space and the zone as +hhmm/-hhmm,
// for example "Fri, 9 Mar 2001 07:05:03 -0500". Throws AutomationError (5)
// when no calendar date matches the value.
String DateHeaderText(Date date, int utc_offset_minutes);

// Appends the body in its transparent wire form: every bare CR or bare LF
// becomes CR LF, and a line that begins with "." gets a second one, so that no
// body line can end the data or lose its dot. Nothing is added at the end.
void AppendTransparentBody(std::u16string_view body, String& out);

}  // namespace qv::mail
