// A small receiving SMTP server for trying the control without a mail server:
// it accepts every sender and recipient, takes each message and hands it to a
// store, a Maildir by default.
//
// The dialogue of one connection (SmtpSinkSession) is fed bytes and answers
// with bytes; it never touches a socket. SmtpSink puts it on the event loop.
// MaildirStore keeps each message as a file of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qv/runtime/event_loop.hpp"
#include "qv/runtime/export.hpp"

namespace qv::runtime {

// What the client said about one message before its data.
struct QV_RUNTIME_EXPORT SinkEnvelope {
  std::string client_name;  // the HELO or EHLO argument
  std::string mail_from;    // the reverse path without its angle brackets
  std::vector<std::string> recipients;
};

// One message on its way into a store. Destroying it before Commit discards
// what was appended.
class QV_RUNTIME_EXPORT SinkMessage {
 public:
  virtual ~SinkMessage() = default;
  // Appends message bytes; throws when they cannot be kept.
  virtual void Append(std::string_view bytes) = 0;
  // Makes the message durable and returns where it is; throws on failure.
  virtual std::string Commit() = 0;
};

// Where a sink puts what it receives.
class QV_RUNTIME_EXPORT SinkStore {
 public:
  virtual ~SinkStore() = default;
  // Starts a message; throws when none can be started.
  virtual std::unique_ptr<SinkMessage> Begin(const SinkEnvelope& envelope) = 0;
};

// A message that was stored and acknowledged with 250.
struct QV_RUNTIME_EXPORT StoredMessage {
  SinkEnvelope envelope;
  std::uint64_t size = 0;  // bytes stored
  std::string location;    // what the store's Commit returned
};

// What a sink reports as it works. Either may be empty.
struct QV_RUNTIME_EXPORT SinkObserver {
  std::function<void(const StoredMessage&)> stored;
  // A message that was refused with 451 because the store failed.
  std::function<void(const SinkEnvelope&, const std::string& reason)> failed;
};

// A Maildir: each message is written under tmp/ and, once complete and
// flushed to disk, moved into new/ under the same unique name
// ("SECONDS.PID_SEQ.HOST"). The message bytes are stored as received, after
// the removal of the doubled leading dots, without the final dot line.
class QV_RUNTIME_EXPORT MaildirStore final : public SinkStore {
 public:
  // Creates dir and its tmp/, new/ and cur/ when missing; throws
  // std::filesystem::filesystem_error when it cannot.
  explicit MaildirStore(std::filesystem::path dir);

  // Throws std::filesystem::filesystem_error when tmp/ takes no new file.
  std::unique_ptr<SinkMessage> Begin(const SinkEnvelope& envelope) override;
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string host_;
  std::uint64_t sequence_ = 0;
};

// The server's side of one SMTP connection. Commands may be pipelined and
// split anywhere; lines may end in CR LF or LF alone. Every sender and
// recipient is accepted; commands out of order get 503, unknown ones 502.
class QV_RUNTIME_EXPORT SmtpSinkSession {
 public:
  // Longest command line taken, line end included; longer ones get 500.
  static constexpr std::size_t kMaxCommandLine = 4096;
  // Most recipients of one message; further RCPT commands get 452.
  static constexpr std::size_t kMaxRecipients = 1000;

  // store and observer must outlive the session.
  SmtpSinkSession(std::string server_name, SinkStore& store, const SinkObserver& observer);

  // "220 NAME ..." with CR LF.
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

 private:
  void Command(std::string_view line, std::string& replies);
  void Mail(std::string_view argument, std::string& replies);
  void Recipient(std::string_view argument, std::string& replies);
  void Data(std::string_view argument, std::string& replies);
  // Consumes data bytes up to and including the final dot line; returns how
  // many were consumed.
  std::size_t ReceiveData(std::string_view bytes, std::string& replies);
  void EndData(std::string& replies);
  void Reset();

  std::string server_name_;
  SinkStore& store_;
  const SinkObserver& observer_;

  std::string line_;
  bool line_too_long_ = false;
  bool finished_ = false;

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

struct QV_RUNTIME_EXPORT SmtpSinkOptions {
  // A numeric address or a name to resolve; brackets around IPv6 allowed.
  std::string address = "127.0.0.1";
  // 0: a free port chosen by the system (see SmtpSink::port).
  std::uint16_t port = 2525;
  // A connection that sends nothing for this long gets 421 and is closed.
  std::chrono::milliseconds idle_limit{std::chrono::minutes(5)};
  // Connections beyond this many get 421 at once.
  std::size_t max_connections = 100;
};

namespace detail {
class SinkCore;
}

// The server on the event loop. Handlers run on the loop's thread; the sink
// takes no part in the DeliveryGate of any control, so a control's handler
// that steps the loop does not hold the server back.
class QV_RUNTIME_EXPORT SmtpSink {
 public:
  // Listens at once. Throws AutomationError with a socket error number
  // (10048 address in use, 10049 address not available, 10013 permission
  // denied, 11001 unknown name, ...) when it cannot. store and observer must
  // outlive the sink.
  SmtpSink(EventLoop& loop, SinkStore& store, SinkObserver observer, SmtpSinkOptions options = {});
  // Stops listening and drops every connection; messages not yet
  // acknowledged are discarded.
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  // The address listened on, numeric, and the port (the chosen one for 0).
  std::string address() const;
  std::uint16_t port() const;
  // Stops taking connections; those already open go on.
  void StopListening();
  std::size_t OpenConnections() const;
  // Messages stored so far.
  std::uint64_t MessagesStored() const;

 private:
  std::shared_ptr<detail::SinkCore> core_;
};

}  // namespace qv::runtime
