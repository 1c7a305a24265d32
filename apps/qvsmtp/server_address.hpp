// The --server value: a host, optionally with the port to connect to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "qv/control/protocol.hpp"

namespace qvsmtp {

struct ServerAddress {
  std::string host;  // a name, an IPv4 address or an IPv6 address without brackets
  std::optional<std::uint16_t> port;
};

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT"; an IPv6 address without
// brackets is a host alone. Throws ExitError (64) for a port that is not
// 1 to 65535 or brackets that do not close.
ServerAddress ParseServerAddress(const std::string& text);

// "HOST port N", as the narration and the failure line name the server.
std::string DescribeServer(const std::string& host, std::uint16_t port);

// What the conventional use of a well-known port says about the
// conversation chosen for it, when they disagree: port 465 waits for TLS
// before it greets (a plain greeting would wait out its whole limit), 587
// asks for STARTTLS, and 25 and 587 greet in plain text. Empty when they
// agree or the port has no convention.
std::string PortAdvice(qv::SmtpProtocol protocol, std::uint16_t port);

}  // namespace qvsmtp
