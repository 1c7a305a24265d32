// The server's side of one SMTP connection, free of I/O: fed the bytes a
// client sent, it appends the bytes to answer with. A test plays the mail
// server with it (handing the control's writes in and the replies back through
// a FakeSocket, say); a program puts it behind a real connection.
//
// What it answers: 250 to HELO, EHLO (listing PIPELINING and 8BITMIME), MAIL
// FROM, RCPT TO, RSET and NOOP, 354 to DATA, then 250 once the data ends with
// a line holding a dot alone (the message goes to the store as received, the
// doubled leading dots undone, without the dot line), 221 to QUIT. Every sender and recipient is
// accepted. Commands out of order get 503, unknown ones 502, a malformed MAIL or RCPT 501, a line
// longer than kMaxCommandLine 500, RCPT beyond kMaxRecipients 452. A store that fails makes the
// message's answer 451 (the data is still read to its end). Commands may be pipelined and split
// anywhere; lines may end in CR LF or LF alone; verbs are taken in any case.
//
// STARTTLS, when the owner offers it (OfferStartTls): EHLO lists STARTTLS
// too, and STARTTLS gets 220; the owner then sends
// the replies, turns the connection to TLS and calls Secured. Bytes that came
// after the STARTTLS line in the clear are dropped, never taken as commands.
//
// AUTH, when the owner requires it (RequireAuth): EHLO lists "AUTH PLAIN
// LOGIN", once the connection is encrypted when STARTTLS is offered (no
// client is invited to send a password in the clear where TLS could be had;
// AUTH before it gets 530), and MAIL is refused with 530 until a client has
// authenticated. PLAIN takes its response on the AUTH line or after a "334 ";
// LOGIN asks for the user name and then the password. 235 on success; 535
// for credentials the check refuses; "*" in place of a response cancels the
// exchange (501). The responses are never kept beyond the check, nor handed
// to the store or the observer.
//
// Threads and lifetime: one thread at a time. The store and the observer must
// outlive the session; the observer is called inside Receive. Receive throws
// only what the observer's functions throw; a store's exceptions become 451.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qv/testing/export.hpp"
#include "qv/testing/sink_store.hpp"

namespace qv::testing {

class QV_TESTING_EXPORT SmtpSinkSession {
 public:
  // Longest command line taken, line end included; longer ones get 500.
  static constexpr std::size_t kMaxCommandLine = 4096;
  // Most recipients of one message; further RCPT commands get 452.
  static constexpr std::size_t kMaxRecipients = 1000;

  SmtpSinkSession(std::string server_name, SinkStore& store, const SinkObserver& observer);
  SmtpSinkSession(const SmtpSinkSession&) = delete;
  SmtpSinkSession& operator=(const SmtpSinkSession&) = delete;

  // "220 NAME qvsmtp sink ready" with CR LF.
  std::string Greeting() const;
  // Takes bytes from the client and appends the replies to send back.
  void Receive(std::string_view bytes, std::string& replies);
  // QUIT has been answered: close once the replies have gone out. Later bytes
  // are ignored.
  bool Finished() const { return finished_; }
  // Inside a message's data.
  bool InData() const { return in_data_; }
  // Drops a message in progress (the connection is going away).
  void Abort();

  // While offered and the connection is not yet encrypted, EHLO lists
  // STARTTLS and STARTTLS is answered with 220. Not offered: STARTTLS is an
  // unknown command (502).
  void OfferStartTls(bool offered) { start_tls_offered_ = offered; }
  // STARTTLS has been answered with 220: once the replies are out, the owner
  // starts TLS and calls Secured. Bytes received until then are ignored.
  bool StartTlsAccepted() const { return start_tls_accepted_; }
  // The connection is encrypted now (after STARTTLS, or from the first byte):
  // the client greets again, and STARTTLS is refused with 503 from here on.
  void Secured();
  bool IsSecured() const { return secured_; }

  // Whether a user name and password may pass; called inside Receive.
  using CredentialCheck = std::function<bool(std::string_view user, std::string_view password)>;
  // From now on MAIL needs a successful AUTH first, and EHLO offers it (see
  // above). An empty check offers no AUTH: the command is unknown (502).
  void RequireAuth(CredentialCheck check) { credential_check_ = std::move(check); }
  // The user name a successful AUTH gave; empty before (and after Secured).
  const std::string& AuthenticatedUser() const { return auth_user_; }

  // Scripts a refusal: the nth command from now (1: the next) with this verb
  // ("RCPT", any case; "." for the end of a message's data) is answered with
  // reply, appended as given (end each line with CR LF), and otherwise
  // ignored, whatever the reply says: a refused RCPT adds no recipient, a
  // refused "." stores nothing (the message is discarded), a refused QUIT
  // does not finish. Each script is used once; several may wait at a time,
  // and those due at the same command all answer it, in the order given.
  void ScriptReply(std::string_view verb, std::string reply, int nth = 1);

 private:
  struct Script {
    std::string verb;  // upper case
    int remaining;     // commands with this verb until it is used
    std::string reply;
  };

  // The scripted reply for this command, if one is due; counts it down.
  bool Scripted(std::string_view verb, std::string& replies);
  void Command(std::string_view line, std::string& replies);
  void Mail(std::string_view argument, std::string& replies);
  void Recipient(std::string_view argument, std::string& replies);
  void Data(std::string_view argument, std::string& replies);
  void Hello(bool extended, std::string_view argument, std::string& replies);
  void StartTls(std::string_view argument, std::string& replies);
  // AUTH is listed in the EHLO reply and taken now.
  bool AuthOffered() const;
  void Auth(std::string_view argument, std::string& replies);
  // A line of the client's in an AUTH exchange, after a 334.
  void AuthResponse(std::string_view line, std::string& replies);
  // Checks the credentials and ends the exchange with 235 or 535.
  void AuthCheck(std::string_view user, std::string_view password, std::string& replies);
  // Consumes data bytes up to and including the final dot line; returns how
  // many were consumed.
  std::size_t ReceiveData(std::string_view bytes, std::string& replies);
  void EndData(std::string& replies);
  void Reset();

  std::string server_name_;
  SinkStore& store_;
  const SinkObserver& observer_;
  std::vector<Script> scripts_;

  std::string line_;
  bool line_too_long_ = false;
  bool finished_ = false;
  bool start_tls_offered_ = false;
  bool start_tls_accepted_ = false;
  bool secured_ = false;

  // What the next line of the client answers in an AUTH exchange.
  enum class AuthStep { kNone, kPlain, kLoginUser, kLoginPassword };
  CredentialCheck credential_check_;
  AuthStep auth_step_ = AuthStep::kNone;
  std::string auth_login_user_;  // LOGIN's user name, while its password is awaited
  std::string auth_user_;

  std::string client_name_;
  bool have_sender_ = false;
  SinkEnvelope envelope_;

  bool in_data_ = false;
  std::unique_ptr<SinkMessage> message_;
  std::string store_failure_;  // set when the store failed during the data
  std::uint64_t size_ = 0;
  bool line_start_ = true;
  bool dot_ = false;     // a dot began the line
  bool dot_cr_ = false;  // the line so far is a dot and CR
};

}  // namespace qv::testing
