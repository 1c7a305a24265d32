// Where a receiving SMTP session (SmtpSinkSession) puts the messages it takes,
// and what it reports about them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qv/testing/export.hpp"

namespace qv::testing {

// What the client said about one message before its data.
struct QV_TESTING_EXPORT SinkEnvelope {
  std::string client_name;  // the HELO or EHLO argument
  std::string mail_from;    // the reverse path without its angle brackets
  std::vector<std::string> recipients;
};

// One message on its way into a store. Destroying it before Commit discards
// what was appended.
class QV_TESTING_EXPORT SinkMessage {
 public:
  virtual ~SinkMessage() = default;
  // Appends message bytes; throws when they cannot be kept.
  virtual void Append(std::string_view bytes) = 0;
  // Makes the message durable and returns where it is; throws on failure.
  virtual std::string Commit() = 0;
};

// Where a session puts what it receives. A message it hands out must not
// outlive it.
class QV_TESTING_EXPORT SinkStore {
 public:
  virtual ~SinkStore() = default;
  // Starts a message; throws when none can be started.
  virtual std::unique_ptr<SinkMessage> Begin(const SinkEnvelope& envelope) = 0;
};

// A message that was stored and acknowledged with 250.
struct QV_TESTING_EXPORT StoredMessage {
  SinkEnvelope envelope;
  std::uint64_t size = 0;  // bytes stored
  std::string location;    // what the store's Commit returned
};

// What a session reports as it works. Either may be empty; both are called
// inside the session's Receive.
struct QV_TESTING_EXPORT SinkObserver {
  std::function<void(const StoredMessage&)> stored;
  // A message that was refused with 451 because the store failed.
  std::function<void(const SinkEnvelope&, const std::string& reason)> failed;
};

}  // namespace qv::testing
