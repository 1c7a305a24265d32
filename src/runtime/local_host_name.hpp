// Runtime-internal: the names a socket offers for HELO.
#pragma once

#include <string>

#include <asio/ip/address.hpp>

namespace qv::runtime::detail {

// Starts the process's one lookup of the fully qualified name, on a thread of
// its own, so that the first HELO rarely has to wait for it.
void StartFullyQualifiedNameLookup();

// "[192.0.2.1]" or "[IPv6:2001:db8::1]"; an IPv4 address mapped into IPv6 is
// written in its IPv4 form, and an IPv6 zone is left out.
std::string AddressLiteral(const asio::ip::address& address);

}  // namespace qv::runtime::detail
