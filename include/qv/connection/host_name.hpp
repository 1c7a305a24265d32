// The local host's names, as the socket service offers them for HELO.
//
// Thread: any.
#pragma once

#include <chrono>
#include <string>

#include "qv/connection/export.hpp"
#include "qv/core/text.hpp"

namespace qv::connection {

// The local host's name from the operating system ("localhost" if it has none).
QV_CONNECTION_EXPORT String LocalHostName();

// The machine's fully qualified name (UTF-8): the canonical name of the host
// name when it holds a dot, otherwise empty. Looked up once per process on a
// thread of its own, started by the first socket (or the first call); waits
// at most for the given time for that lookup (the socket service never
// waits), and is empty until it is done.
QV_CONNECTION_EXPORT std::string FullyQualifiedHostName(std::chrono::milliseconds wait = {});

}  // namespace qv::connection
