#include "qv/component/factory.hpp"

#include "qv/component/library_identity.hpp"
#include "qv/component/type_library.hpp"

namespace qv::component {
namespace {

class QvSmtpObject final : public ControlObject {
 public:
  explicit QvSmtpObject(std::unique_ptr<qvSMTP> control)
      : control_(std::move(control)), dispatch_(*control_) {}

  ~QvSmtpObject() override { control_->Advise(nullptr); }

  qvSMTP& control() override { return *control_; }
  Dispatch& dispatch() override { return dispatch_; }

  void AdviseDispatch(DispatchEventSink* sink) override {
    control_->Advise(nullptr);
    events_.reset();
    if (sink != nullptr) {
      events_ = std::make_unique<EventDispatcher>(*sink);
      control_->Advise(events_.get());
    }
  }

 private:
  std::unique_ptr<qvSMTP> control_;
  qvSMTPDispatch dispatch_;
  std::unique_ptr<EventDispatcher> events_;
};

}  // namespace

std::unique_ptr<ControlObject> CreateQvSmtp(Socket& socket, Timer& timer, Clock& clock,
                                            ComponentHost& host) {
  // The control library builds it as DesignSettings() describes.
  return std::make_unique<QvSmtpObject>(qvSMTP::Create(socket, timer, clock, host));
}

std::optional<Guid> ClassIdFromProgId(std::string_view prog_id) {
  const String name(prog_id.begin(), prog_id.end());
  for (const RegisteredClass& entry : Registration().classes) {
    if (SameName(entry.prog_id, name)) return entry.clsid;
  }
  return std::nullopt;
}

}  // namespace qv::component
