// The states of a mail conversation. The gaps (1, 3, 6, 7) are never set.
#pragma once

#include "qv/core/types.hpp"

namespace qv::mail {

namespace session_state {
inline constexpr Integer kIdle = 0;
inline constexpr Integer kWaitConnect = 2;
inline constexpr Integer kWaitGreeting = 4;
inline constexpr Integer kSendHelo = 5;
inline constexpr Integer kWaitHeloAck = 8;
inline constexpr Integer kSendMailFrom = 9;
inline constexpr Integer kWaitFromAck = 10;
inline constexpr Integer kSendRcptTo = 11;
inline constexpr Integer kWaitRcptAck = 12;
inline constexpr Integer kSendDataCommand = 13;
inline constexpr Integer kWaitDataAck = 14;
inline constexpr Integer kSendMessage = 15;
inline constexpr Integer kWaitMessageAck = 16;
// The ESMTP conversations' own steps.
inline constexpr Integer kSendEhlo = 17;
inline constexpr Integer kWaitEhloAck = 18;
inline constexpr Integer kSendStartTls = 19;
inline constexpr Integer kWaitStartTlsAck = 20;
inline constexpr Integer kWaitTlsHandshake = 21;
inline constexpr Integer kSendAuth = 22;
inline constexpr Integer kWaitAuthAck = 23;
}  // namespace session_state

// Outcome codes: the status property and the argument of SendComplete.
namespace outcome {
inline constexpr Integer kSuccess = 0;
inline constexpr Integer kInProgress = 1;
inline constexpr Integer kSocketError = 2;
inline constexpr Integer kTimeout = 3;
inline constexpr Integer kAddressRefused = 4;
}  // namespace outcome

}  // namespace qv::mail
