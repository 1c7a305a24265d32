// Included before anything else in every runtime source (the build forces
// it): gives the one piece of Asio's per-thread state that its code reaches
// through the io_context's thread, the record of the thread running it,
// default visibility.
//
// Why: the runtime is a shared library with hidden symbols, so it holds a
// copy of Asio's header-only code of its own, and a host program that runs
// its own io_context holds another. Both copies work on the host's one
// io_context. Were the record hidden too, each copy would keep its own, and
// the runtime's reactor code, run inside the host's io_context::run, would
// find no record of the thread that runs it (a crash once a socket event
// completes nothing). Exported, the runtime binds to the host's definition
// (the dynamic linker keeps one per process), and both copies share one
// record. Nothing else of Asio leaves the library; both copies must be the
// same Asio version (qv/runtime/event_loop.hpp checks the host's).
#pragma once

#include <asio/detail/call_stack.hpp>
#include <asio/detail/thread_context.hpp>
#include <asio/detail/tss_ptr.hpp>

#if !defined(ASIO_HAS_THREAD_KEYWORD_EXTENSION)
#error "The runtime shares Asio's thread record as a thread-local variable: build with threads."
#endif

namespace qv::runtime::detail {
using AsioThreadRecord =
    asio::detail::call_stack<asio::detail::thread_context, asio::detail::thread_info_base>::context;
}  // namespace qv::runtime::detail

// Defined once, in asio_thread_state.cpp.
extern template __attribute__((visibility("default"))) qv::runtime::detail::AsioThreadRecord*
    asio::detail::keyword_tss_ptr<qv::runtime::detail::AsioThreadRecord>::value_;
