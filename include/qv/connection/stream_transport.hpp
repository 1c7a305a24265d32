// The TCP connection at the bottom of every socket service: a non-blocking
// socket driven by its Loop's readiness watches, the name resolved on a
// thread of its own (getaddrinfo) so that no loop ever blocks. One
// implementation for every host, so that the bytes on the wire, the error
// numbers and their texts do not depend on the loop a program runs.
#pragma once

#include <cstddef>
#include <memory>

#include "qv/connection/export.hpp"
#include "qv/connection/loop.hpp"
#include "qv/connection/transport.hpp"

namespace qv::connection {

// read_buffer_size: bytes read per system call (allocated when connected).
QV_CONNECTION_EXPORT std::unique_ptr<Transport> MakeStreamTransport(Loop& loop,
                                                                    std::size_t read_buffer_size);

}  // namespace qv::connection
