// Cutting the recipient list into entries, one RCPT TO line each.
#pragma once

#include <string_view>

#include "qv/core/types.hpp"

namespace qv::mail {

// Takes the next entry off the front of pending and returns it as cut (spaces
// kept). The separator is the first comma; only when no comma remains is it
// the first semicolon, so semicolons before a comma stay inside the entry. The
// separator is dropped; without one the whole list is the entry and pending
// becomes empty. Positions are unbounded, so lists of any length split alike.
String CutNextRecipient(String& pending);

// The address as it goes between the brackets of an envelope line: C0
// control characters other than tab removed (so no text can end the line
// early), then leading and trailing spaces (code 32 only) trimmed.
String EnvelopeAddress(std::u16string_view entry);

}  // namespace qv::mail
