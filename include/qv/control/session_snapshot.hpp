// What a host may read of the control's running conversation, for progress
// displays and diagnostics: a copy taken at the moment of the call.
#pragma once

#include <vector>

#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

struct QV_EXPORT SessionSnapshot {
  // The session state numbers. The gaps (1, 3, 6, 7) are never used.
  static constexpr Integer kIdle = 0;
  static constexpr Integer kWaitConnect = 2;
  static constexpr Integer kWaitGreeting = 4;
  static constexpr Integer kSendHelo = 5;
  static constexpr Integer kWaitHeloAck = 8;
  static constexpr Integer kSendMailFrom = 9;
  static constexpr Integer kWaitFromAck = 10;
  static constexpr Integer kSendRcptTo = 11;
  static constexpr Integer kWaitRcptAck = 12;
  static constexpr Integer kSendDataCommand = 13;
  static constexpr Integer kWaitDataAck = 14;
  static constexpr Integer kSendMessage = 15;
  // The message is written; the server has yet to accept it.
  static constexpr Integer kWaitMessageAck = 16;
  // The ESMTP conversations' own steps.
  static constexpr Integer kSendEhlo = 17;
  static constexpr Integer kWaitEhloAck = 18;
  static constexpr Integer kSendStartTls = 19;
  static constexpr Integer kWaitStartTlsAck = 20;
  // The server said go ahead; the TLS handshake is running.
  static constexpr Integer kWaitTlsHandshake = 21;
  // AUTH written; the server's 235, 334 or refusal is awaited.
  static constexpr Integer kSendAuth = 22;
  static constexpr Integer kWaitAuthAck = 23;

  Integer state = kIdle;
  // The clock's seconds (Clock::Now as a day count, times 86400) when the
  // state began: the start of every bounded wait.
  Long state_start_time = 0;
  // What the server's last EHLO reply offered: one entry per line, keyword
  // in capitals, parameters as sent ("SIZE 10240000"). Empty without EHLO;
  // emptied when TLS begins, until the server is asked again.
  std::vector<String> capabilities;
  // Once the connection is encrypted: "TLSv1.3 TLS_AES_256_GCM_SHA384".
  String tls;
};

}  // namespace qv
