#include "qv/runtime/control_site.hpp"

namespace qv::runtime {

ControlSite::ControlSite(EventLoop& loop, SocketOptions options)
    : gate_(loop),
      socket_(loop, gate_, options),
      timer_(loop, gate_),
      control_(socket_, timer_, clock_, host_) {
  control_.Initialize();
  control_.InitProperties();
}

ControlSite::ControlSite(EventLoop& loop, PropertyBag& bag, SocketOptions options)
    : gate_(loop),
      socket_(loop, gate_, options),
      timer_(loop, gate_),
      control_(socket_, timer_, clock_, host_) {
  control_.Initialize();
  control_.ReadProperties(bag);
}

ControlSite::~ControlSite() { control_.Terminate(); }

}  // namespace qv::runtime
