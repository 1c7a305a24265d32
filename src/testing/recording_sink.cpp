#include "qv/testing/recording_sink.hpp"

#include "qv/core/text.hpp"

namespace qv::testing {

int RecordingSink::CountOf(const std::string& prefix) const {
  int count = 0;
  for (const std::string& e : events) {
    if (e.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

void RecordingSink::SendBody(Integer& iTag) {
  events.push_back("SendBody " + std::to_string(iTag));
  if (on_send_body) on_send_body(iTag);
}

void RecordingSink::SendComplete(Integer& status) {
  events.push_back("SendComplete " + std::to_string(status));
  if (on_send_complete) on_send_complete(status);
}

void RecordingSink::DebugMessage(String& msg) {
  events.push_back("DebugMessage " + ToUtf8(msg));
  if (on_debug_message) on_debug_message(msg);
}

}  // namespace qv::testing
