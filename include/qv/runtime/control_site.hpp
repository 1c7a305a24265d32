// One qvSMTP control with its services on an event loop (the runtime's
// EventLoop or a host's own connection::Loop): socket, timer, clock and
// program host, sharing one DeliveryGate. Cheap enough to make by the
// thousand on one loop: no connection, read buffer or timer wait exists
// before a Send.
//
// The control is created as the library's class object creates it
// (component::CreateQvSmtp): design-time settings applied (360 x 330 twips,
// mailTimer at 50 ms and disabled, the socket's stored settings cleared),
// then Initialize, the property notification, and a Resize.
//
// Everything here runs on the loop's thread; a site must be destroyed on it
// too, while the loop still exists. Construction throws what the control's
// creation throws (AutomationError 380 for a SocketOptions::local_host_name
// the socket refuses).
#pragma once

#include <memory>

#include "qv/connection/connection_socket.hpp"
#include "qv/connection/delivery_gate.hpp"
#include "qv/connection/loop.hpp"
#include "qv/connection/socket_options.hpp"
#include "qv/connection/tick_timer.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/host/clock.hpp"
#include "qv/host/property_bag.hpp"
#include "qv/runtime/export.hpp"
#include "qv/runtime/program_host.hpp"

namespace qv::component {
class ControlObject;
}  // namespace qv::component

namespace qv::runtime {

class QV_RUNTIME_EXPORT ControlSite {
 public:
  // Creates the control (which sends Initialize), then sends InitProperties
  // and Resize.
  explicit ControlSite(connection::Loop& loop, connection::SocketOptions options = {});
  // Creates the control (which sends Initialize), then sends
  // ReadProperties(bag) and Resize; a failing read propagates.
  ControlSite(connection::Loop& loop, PropertyBag& bag, connection::SocketOptions options = {});
  // Sends Terminate (which closes the connection).
  ~ControlSite();
  ControlSite(const ControlSite&) = delete;
  ControlSite& operator=(const ControlSite&) = delete;

  qvSMTP& control();
  qvSMTP* operator->() { return &control(); }
  connection::ConnectionSocket& socket() { return socket_; }
  connection::TickTimer& timer() { return timer_; }
  connection::DeliveryGate& gate() { return gate_; }
  Clock& clock() { return clock_; }
  ProgramHost& host() { return host_; }

 private:
  connection::DeliveryGate gate_;
  connection::ConnectionSocket socket_;
  connection::TickTimer timer_;
  SystemClock clock_;
  ProgramHost host_;
  std::unique_ptr<component::ControlObject> object_;
};

}  // namespace qv::runtime
