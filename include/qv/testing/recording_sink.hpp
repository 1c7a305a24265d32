// An event sink that records every event as a line of text and lets a test
// act inside a handler.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "qv/mail/events.hpp"
#include "qv/testing/export.hpp"

namespace qv::testing {

class QV_TESTING_EXPORT RecordingSink : public qvSMTPEvents {
 public:
  // "DebugMessage Connecting to mail", "SendComplete 0", "SendBody 3".
  std::vector<std::string> events;
  // Called inside the matching handler, after recording; may assign to the
  // argument or call into the control.
  std::function<void(Integer&)> on_send_body;
  std::function<void(Integer&)> on_send_complete;
  std::function<void(String&)> on_debug_message;

  int CountOf(const std::string& prefix) const;

  void SendBody(Integer& iTag) override;
  void SendComplete(Integer& status) override;
  void DebugMessage(String& msg) override;
};

}  // namespace qv::testing
