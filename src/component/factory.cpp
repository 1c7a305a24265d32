#include "qv/component/factory.hpp"

#include "qv/component/library_identity.hpp"
#include "qv/component/type_library.hpp"

namespace qv::component {
namespace {

class QvSmtpObject final : public ControlObject {
 public:
  QvSmtpObject(Socket& socket, Timer& timer, Clock& clock, ComponentHost& host)
      : control_(socket, timer, clock, host), dispatch_(control_) {}

  ~QvSmtpObject() override { control_.Advise(nullptr); }

  qvSMTP& control() override { return control_; }
  Dispatch& dispatch() override { return dispatch_; }

  void AdviseDispatch(DispatchEventSink* sink) override {
    control_.Advise(nullptr);
    events_.reset();
    if (sink != nullptr) {
      events_ = std::make_unique<EventDispatcher>(*sink);
      control_.Advise(events_.get());
    }
  }

 private:
  qvSMTP control_;
  qvSMTPDispatch dispatch_;
  std::unique_ptr<EventDispatcher> events_;
};

void ApplyDesign(const DesignTimeSettings& design, Socket& socket, Timer& timer,
                 ComponentHost& host) {
  host.SetWidth(design.control.width);
  host.SetHeight(design.control.height);
  timer.SetInterval(design.timer.interval);
  timer.SetEnabled(design.timer.enabled);
  for (const socket_setting::Cleared& setting : design.socket.cleared) {
    socket.WriteSetting(setting.id, socket_setting::ClearedValue(setting));
  }
}

}  // namespace

std::unique_ptr<ControlObject> CreateQvSmtp(Socket& socket, Timer& timer, Clock& clock,
                                            ComponentHost& host) {
  ApplyDesign(DesignSettings(), socket, timer, host);
  auto object = std::make_unique<QvSmtpObject>(socket, timer, clock, host);
  object->control().Initialize();
  return object;
}

std::optional<Guid> ClassIdFromProgId(std::string_view prog_id) {
  const String name(prog_id.begin(), prog_id.end());
  for (const RegisteredClass& entry : Registration().classes) {
    if (SameName(entry.prog_id, name)) return entry.clsid;
  }
  return std::nullopt;
}

}  // namespace qv::component
