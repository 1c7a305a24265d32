#include "qv/runtime/control_site.hpp"

#include "qv/component/factory.hpp"

namespace qv::runtime {

ControlSite::ControlSite(EventLoop& loop, SocketOptions options)
    : gate_(loop),
      socket_(loop, gate_, options),
      timer_(loop, gate_),
      object_(component::CreateQvSmtp(socket_, timer_, clock_, host_)) {
  control().InitProperties();
  control().Resize();
}

ControlSite::ControlSite(EventLoop& loop, PropertyBag& bag, SocketOptions options)
    : gate_(loop),
      socket_(loop, gate_, options),
      timer_(loop, gate_),
      object_(component::CreateQvSmtp(socket_, timer_, clock_, host_)) {
  control().ReadProperties(bag);
  control().Resize();
}

ControlSite::~ControlSite() { control().Terminate(); }

qvSMTP& ControlSite::control() { return object_->control(); }

}  // namespace qv::runtime
