#include "mail/properties.hpp"

#include <utility>

#include "mail/message_text.hpp"
#include "mail/quoted_printable.hpp"

namespace qv::mail {

// Out of line: inlined into its callers, the move out of the Variant draws a
// false maybe-uninitialized warning from g++ 12 at -O3.
BodyValue::BodyValue(Variant value) {
  if (String* text = value.get_if<String>()) {
    text_ = std::make_shared<const String>(std::move(*text));
    text_non_ascii_ = HoldsNonAscii(*text_);
    text_needs_quoted_printable_ = NeedsQuotedPrintable(*text_);
  } else {
    other_ = std::move(value);
  }
}

}  // namespace qv::mail
