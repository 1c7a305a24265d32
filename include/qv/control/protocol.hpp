// The conversations a control can hold with its server, by name: the values
// of its Protocol property.
#pragma once

#include "qv/core/types.hpp"

namespace qv {

enum class SmtpProtocol : Integer {
  // HELO in plain text: the original conversation, the default. Port 25.
  kHelo = 0,
  // EHLO in plain text, with the server's capabilities; HELO again when the
  // server refuses EHLO. Port 25.
  kEsmtp = 1,
  // EHLO, then STARTTLS, required: the send ends before any further command
  // when the server does not offer it or refuses it. Port 25 (587 for
  // submission, given as Port).
  kStartTls = 2,
  // TLS from the first byte (RFC 8314). Port 465.
  kImplicitTls = 3,
};

}  // namespace qv
