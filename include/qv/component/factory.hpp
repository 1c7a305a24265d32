// Creating controls: the control object a host receives (the control with its
// dispatch side), the class object that DllGetClassObject hands out, and the
// library's own construction of a qvSMTP from its design-time settings.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "qv/component/dispatch.hpp"
#include "qv/component/export.hpp"
#include "qv/component/guid.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/host/clock.hpp"
#include "qv/host/component_host.hpp"
#include "qv/host/socket.hpp"
#include "qv/host/timer.hpp"

namespace qv::component {

// The interfaces a class object answers to.
inline constexpr Guid kIidIUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");
inline constexpr Guid kIidIClassFactory = MakeGuid("{00000001-0000-0000-C000-000000000046}");

// One created control. Destroying it destroys the control; the host sends
// Terminate first when it wants the connection closed.
class QV_COMPONENT_EXPORT ControlObject {
 public:
  virtual ~ControlObject() = default;
  virtual qvSMTP& control() = 0;
  virtual Dispatch& dispatch() = 0;
  // Takes the events by number; nullptr detaches. Replaces any sink given to
  // control().Advise, as the control has one sink at a time.
  virtual void AdviseDispatch(DispatchEventSink* sink) = 0;
};

// What DllGetClassObject hands out. Reference counted: the receiver owns one
// reference and gives it back with Release.
class QV_COMPONENT_EXPORT ClassObject {
 public:
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;
  virtual Guid ClassId() const = 0;
  // A new control built from the design-time settings and sent Initialize;
  // the host sends InitProperties or ReadProperties next. The services must
  // outlive the control. A failing service propagates its AutomationError.
  virtual std::unique_ptr<ControlObject> CreateInstance(Socket& socket, Timer& timer, Clock& clock,
                                                        ComponentHost& host) = 0;
  // Keeps the library loaded while locked: locks are counted library-wide and
  // outlive the class object; an unlock without a lock is ignored.
  virtual void LockServer(bool lock) = 0;

 protected:
  ~ClassObject() = default;
};

using CreateControlFn = std::unique_ptr<ControlObject> (*)(Socket& socket, Timer& timer,
                                                           Clock& clock, ComponentHost& host);

// The library's construction of qvSMTP: the design size given to the host,
// mailTimer set to 50 ms and disabled, Winsock1's stored settings cleared,
// then the control created and sent Initialize.
QV_COMPONENT_EXPORT std::unique_ptr<ControlObject> CreateQvSmtp(Socket& socket, Timer& timer,
                                                                Clock& clock, ComponentHost& host);

// The class identifier of a programmatic name ("QVControls1.qvSMTP"; case is
// ignored), or empty.
QV_COMPONENT_EXPORT std::optional<Guid> ClassIdFromProgId(std::string_view prog_id);

}  // namespace qv::component
