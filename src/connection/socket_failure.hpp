// What a socket service reports for a failed operation, the same on every
// host: a number (socket_error, or the system's own for failures without one)
// and a plain sentence that the control shows as its status text.
#pragma once

#include <string>

#include "qv/core/types.hpp"

namespace qv::connection {

struct SocketFailure {
  Long number;
  std::string description;  // UTF-8
};

// A failed system call of the connection (errno).
SocketFailure SystemFailure(int error_number);
// A failed name lookup (getaddrinfo's EAI_ code; EAI_SYSTEM reads
// system_error). host is the name as asked.
SocketFailure ResolverFailure(int eai_code, int system_error, const std::string& host);

}  // namespace qv::connection
