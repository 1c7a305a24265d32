// One qvSMTP control with its services on an event loop: socket, timer, clock
// and program host, sharing one DeliveryGate. Cheap enough to make by the
// thousand on one loop: no connection, read buffer or timer wait exists
// before a Send.
#pragma once

#include "qv/control/qvsmtp.hpp"
#include "qv/host/clock.hpp"
#include "qv/host/property_bag.hpp"
#include "qv/runtime/asio_socket.hpp"
#include "qv/runtime/asio_timer.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/runtime/program_host.hpp"

namespace qv::runtime {

class ControlSite {
 public:
  // Creates the control and sends Initialize, then InitProperties.
  explicit ControlSite(EventLoop& loop, SocketOptions options = {});
  // Creates the control and sends Initialize, then ReadProperties(bag); a
  // failing read propagates.
  ControlSite(EventLoop& loop, PropertyBag& bag, SocketOptions options = {});
  // Sends Terminate (which closes the connection).
  ~ControlSite();
  ControlSite(const ControlSite&) = delete;
  ControlSite& operator=(const ControlSite&) = delete;

  qvSMTP& control() { return control_; }
  qvSMTP* operator->() { return &control_; }
  AsioSocket& socket() { return socket_; }
  AsioTimer& timer() { return timer_; }
  Clock& clock() { return clock_; }
  ProgramHost& host() { return host_; }

 private:
  DeliveryGate gate_;
  AsioSocket socket_;
  AsioTimer timer_;
  SystemClock clock_;
  ProgramHost host_;
  qvSMTP control_;
};

}  // namespace qv::runtime
