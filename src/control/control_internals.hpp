// What lies behind a qvSMTP: the stored property values and the engine that
// runs the conversation. Private to the library, its tests and fuzz targets.
#pragma once

#include "mail/properties.hpp"
#include "mail/session.hpp"
#include "qv/control/qvsmtp.hpp"

namespace qv {

struct qvSMTP::Impl {
  Impl(Socket& socket, Timer& timer, Clock& clock) : session(properties, socket, timer, clock) {}

  mail::Properties properties;
  mail::Session session;
};

// The engine of a control, for tests that check its conversation fields.
struct ControlInternals {
  static const mail::Session& Session(const qvSMTP& control) { return control.impl_->session; }
  // The stored values, for tests of those a host cannot set while running
  // (a restored property store sets them the same way).
  static mail::Properties& Properties(qvSMTP& control) { return control.impl_->properties; }
};

}  // namespace qv
