// The Message-ID of a message (RFC 5322 3.6.4): large receivers refuse or
// distrust mail without one, and a relay elsewhere adds none.
#pragma once

#include <string_view>

#include "qv/core/types.hpp"

namespace qv::mail {

// A new id, "unique@domain" without the angle brackets: the unique part is
// 128 bits from the system's random source as 32 hex digits; the domain is
// the sender's (from mail_from, the part after its last "@", in the
// characters a dot-atom allows) or, when that gives none, fallback_domain
// (the HELO name, an address literal included).
String NewMessageId(std::u16string_view mail_from, std::u16string_view fallback_domain);

// The domain of the sender's address in the characters a dot-atom allows;
// empty when it has none.
String SenderDomain(std::u16string_view mail_from);

// A host's own id as it goes into the header: without control characters,
// spaces or surrounding angle brackets; empty when nothing is left.
String CleanMessageId(std::u16string_view id);

}  // namespace qv::mail
