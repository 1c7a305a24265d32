// Runtime-internal: what the socket reports for a failed operation.
#pragma once

#include <string>
#include <system_error>

#include "qv/core/types.hpp"

namespace qv::runtime::detail {

struct SocketFailure {
  Long number;
  std::string description;  // UTF-8
};

// The number (socket_error, or the operating system's number for failures
// without one) and a plain sentence: the owner shows it as its status text.
// host is the name as asked, for resolver failures.
SocketFailure DescribeSocketError(const std::error_code& ec, const std::string& host);

}  // namespace qv::runtime::detail
