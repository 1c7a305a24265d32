// Initialize, Resize and Terminate: the control's life in its container.
#include "control/control_internals.hpp"

namespace qv {

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
