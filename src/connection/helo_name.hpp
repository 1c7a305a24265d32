// The HELO name rule of every socket service.
#pragma once

#include <string>

namespace qv::connection {

// Starts the process's one lookup of the fully qualified name, on a thread of
// its own, so that no loop waits for the name service.
void StartFullyQualifiedNameLookup();

// The name for HELO (UTF-8): the configured one; else the fully qualified name
// when its lookup is done; else the connection's address literal; else the
// system's host name. Never waits.
std::string HeloName(const std::string& configured, const std::string& local_address_literal);

}  // namespace qv::connection
