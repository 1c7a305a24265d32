// The runtime's definition of Asio's record of the thread running an
// io_context, exported (see asio_thread_state.hpp). A host that defines it
// too wins: the dynamic linker keeps one definition per process.
#include "asio_thread_state.hpp"

template qv::runtime::detail::AsioThreadRecord*
    asio::detail::keyword_tss_ptr<qv::runtime::detail::AsioThreadRecord>::value_;
