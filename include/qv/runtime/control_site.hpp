// One qvSMTP control with its services on an event loop: socket, timer, clock
// and program host, sharing one DeliveryGate. Cheap enough to make by the
// thousand on one loop: no connection, read buffer or timer wait exists
// before a Send.
//
// The control is created as the library's class object creates it
// (component::CreateQvSmtp): design-time settings applied (360 x 330 twips,
// mailTimer at 50 ms and disabled, the socket's stored settings cleared),
// then Initialize, the property notification, and a Resize.
//
// Everything here runs on the loop's thread; a site must be destroyed on it
// too, while the loop still exists.
#pragma once

#include <memory>

#include "qv/control/qvsmtp.hpp"
#include "qv/host/clock.hpp"
#include "qv/host/property_bag.hpp"
#include "qv/runtime/asio_socket.hpp"
#include "qv/runtime/asio_timer.hpp"
#include "qv/runtime/event_loop.hpp"
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
  explicit ControlSite(EventLoop& loop, SocketOptions options = {});
  // Creates the control (which sends Initialize), then sends
  // ReadProperties(bag) and Resize; a failing read propagates.
  ControlSite(EventLoop& loop, PropertyBag& bag, SocketOptions options = {});
  // Sends Terminate (which closes the connection).
  ~ControlSite();
  ControlSite(const ControlSite&) = delete;
  ControlSite& operator=(const ControlSite&) = delete;

  qvSMTP& control();
  qvSMTP* operator->() { return &control(); }
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
  std::unique_ptr<component::ControlObject> object_;
};

}  // namespace qv::runtime
