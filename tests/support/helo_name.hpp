// The name the runtime socket puts after HELO on a connection from 127.0.0.1
// when the host sets none.
#pragma once

#include <string>

#include "qv/runtime/asio_socket.hpp"

namespace qv::test_support {

inline std::string ExpectedLoopbackHeloName() {
  const std::string full = qv::runtime::FullyQualifiedHostName();
  return full.empty() ? "[127.0.0.1]" : full;
}

}  // namespace qv::test_support
