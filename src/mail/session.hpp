// The mail session engine: one SMTP conversation at a time, stepped by the
// timer and fed by the socket's notifications. It never blocks; every wait is
// bounded, and every ending reports an outcome through SendComplete. Failures
// of the conversation are outcomes, never exceptions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "mail/auth.hpp"
#include "mail/properties.hpp"
#include "mail/quoted_printable.hpp"
#include "mail/reply_tail.hpp"
#include "mail/session_state.hpp"
#include "qv/core/types.hpp"
#include "qv/core/variant.hpp"
#include "qv/host/clock.hpp"
#include "qv/host/socket.hpp"
#include "qv/host/timer.hpp"
#include "qv/mail/events.hpp"

namespace qv::mail {

// Most text the reply buffer keeps; later text is dropped so that a server
// cannot exhaust memory. Reply codes are read from the front, so nothing a
// wait needs is lost.
inline constexpr std::size_t kReplyBufferLimit = 65536;

class Session final : private SocketEvents, private TimerEvents {
 public:
  // Attaches itself to socket and timer; detaches in the destructor.
  Session(Properties& properties, Socket& socket, Timer& timer, Clock& clock);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // nullptr: events are raised to no one.
  void SetEventSink(qvSMTPEvents* sink) { sink_ = sink; }

  // Starts a conversation and returns 0, or returns 1 (after SendComplete with
  // a temporary 1) when one is running. A Connect that the socket refuses at
  // once propagates; the conversation then ends by its connect time-out.
  // An exception from an event handler propagates from the call that raised
  // the event (Send, SendData, or the timer or socket notification, so out of
  // the host's loop); a conversation it interrupts first ends as a socket
  // failure (status 2 with the exception's text), so a later Send works.
  Integer Send();

  // Writes the text form of data to the connection unchanged, in one piece.
  // Throws AutomationError for a value without text form or a refused write.
  void SendData(const Variant& data);
  // UTF-8 text, written as SendData writes its UTF-16 form.
  void SendDataUtf8(std::string_view data);

  // The conversation fields, for hosts' diagnostics and tests.
  Integer SessionState() const { return session_state_; }
  const String& ReplyBuffer() const { return reply_buffer_; }
  Long StateStartTime() const { return state_start_time_; }
  const String& PendingRecipients() const { return pending_recipients_; }
  // What the server's last EHLO reply offered, one entry per keyword, the
  // keyword in capitals ("SIZE 10240000", "STARTTLS"); empty without EHLO.
  const std::vector<String>& Capabilities() const { return capabilities_; }
  // Whether the capabilities hold keyword (in capitals).
  bool Offers(std::u16string_view keyword) const;
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" once the connection is encrypted.
  const String& Tls() const { return tls_; }

  // A row of the ESMTP conversations' step table (esmtp_steps.cpp).
  struct EsmtpStep;

  // The timer and socket notifications (also reachable through the services).
  void OnTimer() override;
  void OnConnect() override;
  void OnDataArrival(Long bytes_total) override;
  void OnError(Long number, const String& description) override;
  void OnSendComplete() override;
  void OnSecured() override;

 private:
  // Counts conversation starts and completions, so that a step can tell that
  // an event handler has ended (or ended and restarted) its conversation.
  using Generation = std::uint64_t;

  void RunStep();
  // One step of the conversation, as a tick runs it, unless one is running.
  void StepOnce();
  // In the ESMTP conversations a step runs as soon as it can, not at the next
  // tick: when the reply it waits for has arrived whole, or when it writes a
  // command whose turn has come. Never inside a running step; the tick stays
  // the clock of the time limits and of SendBody. The original conversation
  // keeps one step per tick.
  void StepWhileReady();
  // The text is taken by value: it may come from the reply buffer, which a
  // handler's new conversation clears.
  void FinishSession(Integer code, String text);
  void CompleteSend(Integer code, String text);
  void QuitAndFinish(Integer code, String text);
  // The text that refuses an address of the envelope too long for any
  // server, or empty.
  String OverlongAddress() const;
  // Ends the conversation as a socket error does (code 2 with text).
  void EndWithSocketError(String text);

  // The ESMTP conversations' steps, rows of a table (esmtp_steps.cpp).
  static const EsmtpStep* FindEsmtpStep(Integer state);
  void RunEsmtpStep(const EsmtpStep& step);
  bool OnEhloAccepted();
  void OnEhloRefused(Integer code);
  bool OnStartTlsAccepted();
  void OnStartTlsRefused(Integer code);
  void WriteAuth();
  void WriteAuthLine();
  bool OnAuthAccepted();
  bool OnAuthChallenge();
  void OnAuthRefused(Integer code);
  bool HasCredentials() const;
  void OnConnected();
  // Ends a conversation that asked for TLS and cannot have it. No further
  // command goes out, not even QUIT: nothing in the clear after EHLO.
  void EndWithoutTls(String text);
  bool Esmtp() const { return protocol_ != protocol::kHelo; }
  bool TlsRequired() const { return protocol_ >= protocol::kStartTls; }
  // The limit of a wait: the original conversation's, or the ESMTP one's.
  double Limit(double helo_limit, double esmtp_limit) const;
  // In the ESMTP conversations a refusal (4xx, 5xx) ends the send at once
  // with the server's reply; the original conversation waits on. True when
  // it has ended.
  bool EndedByRefusal(Integer code);

  // Waiting steps. Each returns after at most one ending.
  void WaitConnect();
  void WaitForReply(Integer accepted, Integer next_state, double limit,
                    const char16_t* timeout_text, bool debug_after_finish);
  void WaitAddressAck(Integer next_state);
  void WaitMessageAck();
  bool TimedOut(double limit);
  // Takes the reply at the front of the buffer: moves on and clears it.
  void AcceptReply(Integer next_state);
  // The reply the wait acts on: the buffer, or after a pipelined write the
  // first of the replies in it.
  String FrontReply() const;
  // The reply that the current wait acts on is in the buffer.
  bool AwaitedReplyArrived() const;

  // Sending steps.
  void WriteHelo();
  void WriteMailFrom();
  void WriteNextRecipient();
  void WriteDataCommand();
  void WriteMessage();

  // How the body travels: 8bit (labelled, and declared to a server that
  // offers 8BITMIME), or quoted-printable (a body holding NUL; 8-bit text to
  // an ESMTP server without 8BITMIME). message_plan.cpp.
  struct MessagePlan {
    bool eight_bit = false;
    bool quoted_printable = false;
  };
  MessagePlan PlanMessage() const;
  // The header lines, each with its line end, and the blank line after them.
  void HeaderLines(const MessagePlan& plan, const String& message_id,
                   const std::function<void(const String&)>& put) const;
  // The size of the message with its Body, as SIZE declares it.
  std::uint64_t MessageOctets(const MessagePlan& plan, const String& message_id) const;
  // Appends MAIL FROM's parameters, or ends the send (and returns false) when
  // the server cannot take the message.
  bool WriteMailFromParameters(String& parameters);
  // The host's own id for this message, or a new one.
  String MessageIdFor() const;

  void RaiseDebugMessage(const String& text);
  void RaiseSendComplete(Integer& status);
  void RaiseSendBody();
  // Runs a handler of the host, noting when an exception leaves it: that one
  // is the host's own, and goes back to the host once the send has ended.
  template <typename Handler>
  void CallHandler(Handler&& handler) {
    try {
      handler();
    } catch (...) {
      handler_failed_ = true;
      throw;
    }
  }
  // Called while an exception is being handled: ends the running conversation
  // (if generation still is it) as a socket error with the exception's text,
  // so that a later Send works.
  void EndAfterFailure(Generation generation);
  void MarkStateStart();
  double Now();

  Properties& properties_;
  Socket& socket_;
  Timer& timer_;
  Clock& clock_;
  qvSMTPEvents* sink_ = nullptr;

  Integer session_state_ = session_state::kIdle;
  String reply_buffer_;
  Long state_start_time_ = 0;
  String pending_recipients_;
  std::vector<String> capabilities_;
  String tls_;
  // The conversation of the running send, fixed when it starts.
  Integer protocol_ = protocol::kHelo;
  Long port_ = 0;
  // The AUTH exchange: its mechanism, and how many of the server's
  // challenges have been answered.
  AuthMechanism auth_mechanism_ = AuthMechanism::kPlain;
  int auth_step_ = 0;
  ReplyTail reply_tail_;
  // MAIL FROM, the RCPT TO lines and DATA went in one write (PIPELINING);
  // until the 354, each wait takes one reply of several.
  bool pipelined_ = false;
  // MAIL FROM declared BODY=8BITMIME; the id that SIZE counted.
  bool declared_8bitmime_ = false;
  String planned_message_id_;
  // While the host writes a body that goes quoted-printable.
  std::optional<QuotedPrintableEncoder> stream_encoder_;
  // The message has been handed to a socket that reports when it has left;
  // the wait for its acknowledgement counts from that report.
  bool awaiting_send_complete_ = false;

  Generation generation_ = 0;
  bool in_step_ = false;
  bool handler_failed_ = false;
};

}  // namespace qv::mail
