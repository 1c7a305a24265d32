#include "qv/runtime/control_site.hpp"

#include <utility>

#include "qv/component/factory.hpp"

namespace qv::runtime {

ControlSite::ControlSite(connection::Loop& loop, connection::SocketOptions options)
    : gate_(loop),
      socket_(loop, gate_, std::move(options)),
      timer_(loop, gate_),
      object_(component::CreateQvSmtp(socket_, timer_, clock_, host_)) {
  control().InitProperties();
  control().Resize();
}

ControlSite::ControlSite(connection::Loop& loop, PropertyBag& bag,
                         connection::SocketOptions options)
    : gate_(loop),
      socket_(loop, gate_, std::move(options)),
      timer_(loop, gate_),
      object_(component::CreateQvSmtp(socket_, timer_, clock_, host_)) {
  control().ReadProperties(bag);
  control().Resize();
}

ControlSite::~ControlSite() { control().Terminate(); }

qvSMTP& ControlSite::control() { return object_->control(); }

}  // namespace qv::runtime
