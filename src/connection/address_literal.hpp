// The mail form of an address: what a client with no name of its own says
// after HELO.
#pragma once

#include <sys/socket.h>

#include <string>

namespace qv::connection {

// "[192.0.2.1]" or "[IPv6:2001:db8::1]"; an IPv4 address mapped into IPv6 is
// written in its IPv4 form, and an IPv6 zone is left out. Empty for other
// families.
std::string AddressLiteral(const sockaddr_storage& address);

// Whether name is an IPv4 or IPv6 address rather than a host name.
bool IsIpAddress(const std::string& name);

// A host as the user wrote it, without the brackets of "[::1]".
std::string WithoutBrackets(std::string name);

}  // namespace qv::connection
