// The outcome codes of a send by name: what Send returns, what SendComplete
// carries and what the control's status holds once a send has ended.
//
// Nothing here throws or allocates. A SendComplete handler may assign any
// number to status; such a value converts unchanged and matches no name.
#pragma once

#include "qv/control/qvsmtp.hpp"
#include "qv/core/types.hpp"

namespace qv {

enum class SendOutcome : Integer {
  kSuccess = 0,
  // Not sent: a conversation is running (also status while one runs).
  kBusy = 1,
  kSocketError = 2,
  kTimeout = 3,
  // A recipient or the sender refused with 550.
  kAddressRefused = 4,
};

constexpr SendOutcome ToSendOutcome(Integer status) noexcept {
  return static_cast<SendOutcome>(status);
}

constexpr Integer ToInteger(SendOutcome outcome) noexcept { return static_cast<Integer>(outcome); }

// The control's status as an outcome; reads it on the control's thread.
inline SendOutcome GetOutcome(const qvSMTP& control) { return ToSendOutcome(control.get_status()); }

}  // namespace qv
