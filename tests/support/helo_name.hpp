// The name a socket service puts after HELO on a connection from 127.0.0.1
// when the host sets none.
#pragma once

#include <chrono>
#include <string>

#include "qv/connection/host_name.hpp"

namespace qv::test_support {

// Waits for the process's name lookup, which the socket never waits for.
inline std::string ExpectedLoopbackHeloName() {
  const std::string full = qv::connection::FullyQualifiedHostName(std::chrono::seconds(2));
  return full.empty() ? "[127.0.0.1]" : full;
}

}  // namespace qv::test_support
