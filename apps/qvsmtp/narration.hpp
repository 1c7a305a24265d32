// What the control tells the program during one send: each DebugMessage is
// printed as it happens, with the time since Send, and kept in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "progress.hpp"
#include "qv/core/types.hpp"
#include "qv/mail/events.hpp"

namespace qvsmtp {

// Text for a terminal line: CR, LF, TAB and other C0 control characters are
// shown as escapes (\r, \n, \t, \xNN), as are bytes that are not UTF-8
// (\xNN) and the characters a terminal would act on: C1 controls,
// bidirectional controls and the line and paragraph separators (\uNNNN). So
// one message stays one line and shows what it holds.
std::string Printable(std::string_view utf8);

// JSON text (one dump) with the characters Printable escapes for a terminal
// written as \uXXXX escapes instead, C1 controls, DEL, bidirectional controls
// and the line and paragraph separators among them: they can only be in its
// strings, where JSON allows the escape. The C0 controls are escaped by the
// dump already.
std::string TerminalSafeJson(std::string_view json);

// The server's bytes as the control decodes them into StatusStr: a byte that
// is no part of UTF-8 stands for the character of its value (0xFF for U+00FF,
// 0x9B for the control U+009B). The server's text is shown by this one rule
// everywhere: the outcome line, -v and --json.
std::string AsTheControlDecodes(std::string_view bytes);

// A count with its thousands grouped: 61,234,567.
std::string GroupedNumber(std::uint64_t number);

// "status N: TEXT", TEXT without the line end a server reply carries.
std::string OutcomeLine(qv::Integer status, const qv::String& status_str);

class Narration final : public qv::qvSMTPEvents {
 public:
  // Lines go to out unless quiet; progress (may be null) is broken off first.
  Narration(std::FILE* out, bool quiet, Progress* progress = nullptr)
      : out_(out), quiet_(quiet), progress_(progress) {}

  // The port the connection goes to, named with the "Connecting to" line.
  void NamePort(std::uint16_t port) { port_ = port; }
  // Time zero: call just before Send.
  void Start();
  // The program's SendBody handler, if any.
  void OnSendBody(std::function<void(qv::Integer&)> handler) { send_body_ = std::move(handler); }
  // Runs inside the first SendComplete, while the control still holds what
  // the send found out (its Snapshot).
  void OnComplete(std::function<void()> handler) { on_complete_ = std::move(handler); }

  void SendBody(qv::Integer& iTag) override;
  void SendComplete(qv::Integer& status) override;
  void DebugMessage(qv::String& msg) override;

  bool complete() const { return complete_; }
  // The argument of the first SendComplete.
  qv::Integer status() const { return status_; }
  // From Start to the first SendComplete, or to now while none came.
  std::chrono::milliseconds elapsed() const {
    if (complete_) return elapsed_;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_);
  }
  // Every DebugMessage in order, as UTF-8.
  const std::vector<std::string>& messages() const { return messages_; }

 private:
  std::FILE* out_;
  bool quiet_;
  Progress* progress_;
  std::uint16_t port_ = 0;
  std::function<void(qv::Integer&)> send_body_;
  std::function<void()> on_complete_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  bool complete_ = false;
  qv::Integer status_ = 0;
  std::chrono::milliseconds elapsed_{0};
  std::vector<std::string> messages_;
};

}  // namespace qvsmtp
