// Initialize, Resize and Terminate: the control's life in its container.
#include "control/control_internals.hpp"

namespace qv {

std::unique_ptr<qvSMTP> qvSMTP::Create(Socket& socket, Timer& timer, Clock& clock,
                                       ComponentHost& host) {
  host.SetWidth(kControlWidth);
  host.SetHeight(kControlHeight);
  timer.SetInterval(kMailTimerInterval);
  timer.SetEnabled(false);
  for (const socket_setting::Cleared& setting : socket_setting::kClearedBeforeConnect) {
    socket.WriteSetting(setting.id, socket_setting::ClearedValue(setting));
  }
  auto control = std::make_unique<qvSMTP>(socket, timer, clock, host);
  control->Initialize();
  return control;
}

void qvSMTP::Initialize() {
  // No step of the mail engine may run before a Send.
  timer_.SetEnabled(false);
  impl_->properties.Busy = kFalse;
  impl_->properties.DateHeader = clock_.Now();
}

// Both sizes every time, whatever was proposed: the control keeps its size.
void qvSMTP::Resize() {
  host_.SetHeight(kControlHeight);
  host_.SetWidth(kControlWidth);
}

// Only the connection is ended; a send still in progress gets no completion.
void qvSMTP::Terminate() { socket_.Close(); }

}  // namespace qv
