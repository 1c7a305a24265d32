// A qvSMTP created by the library's factory on the test doubles, reached
// through its dispatch side, with a server played through the fake socket.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qv/component/dispatch.hpp"
#include "qv/component/factory.hpp"
#include "qv/component/hresult.hpp"
#include "qv/core/automation_error.hpp"
#include "qv/core/text.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"

namespace qv::component::testing {

// Records events taken by number and lets a test act inside the handler.
class RecordingDispatchSink : public DispatchEventSink {
 public:
  std::vector<std::pair<Long, Variant>> seen;
  std::function<void(Long, Variant&)> act;

  void Invoke(Long dispid, Variant& argument) override {
    seen.emplace_back(dispid, argument);
    if (act) act(dispid, argument);
  }

  std::vector<Variant> ArgumentsOf(Long dispid) const {
    std::vector<Variant> out;
    for (const auto& [id, argument] : seen) {
      if (id == dispid) out.push_back(argument);
    }
    return out;
  }
};

// A server that accepts everything.
inline std::u16string Accepting(const std::u16string& line) {
  if (line.rfind(u"DATA", 0) == 0) return u"354 go ahead\r\n";
  if (line.rfind(u"HELO", 0) == 0 || line.rfind(u"MAIL", 0) == 0 || line.rfind(u"RCPT", 0) == 0 ||
      line == u"\r\n.\r\n") {
    return u"250 OK\r\n";
  }
  return u"";
}

// Plays the server for a send already started: accepts the connection,
// greets, and answers each written line with answer(), ticking until the
// timer stops or max_ticks have passed.
inline void Serve(qv::testing::FakeSocket& socket, qv::testing::ManualTimer& timer,
                  qv::testing::ManualClock& clock,
                  const std::function<std::u16string(const std::u16string&)>& answer = Accepting,
                  int max_ticks = 200) {
  socket.AcceptConnection();
  socket.ServerSends(u"220 mail.example.com ESMTP\r\n");
  std::size_t seen = socket.writes.size();
  for (int ticks = 0; ticks < max_ticks && timer.Enabled(); ++ticks) {
    clock.Advance(0.05);
    if (!timer.Tick()) break;
    while (seen < socket.writes.size()) {
      const std::u16string reply = answer(socket.writes[seen++]);
      if (!reply.empty()) socket.ServerSends(reply);
    }
  }
}

// The dispatch status (or numbered error) of a call, 0 when it succeeds.
template <typename Call>
Long ErrorOf(Call&& call) {
  try {
    call();
  } catch (const AutomationError& error) {
    return error.number();
  }
  return 0;
}

struct ComponentRig {
  qv::testing::FakeSocket socket;
  qv::testing::ManualTimer timer;
  qv::testing::ManualClock clock{Date{36959.29517361111}};  // 9 March 2001 07:05:03
  qv::testing::FakeHost host;
  std::unique_ptr<ControlObject> object = CreateQvSmtp(socket, timer, clock, host);
  qvSMTP& control = object->control();
  Dispatch& dispatch = object->dispatch();

  ComponentRig() { control.InitProperties(); }

  Long Id(std::u16string_view name) { return dispatch.GetIDOfName(name); }
  Variant Get(std::u16string_view name) { return dispatch.Get(Id(name)); }
  void Put(std::u16string_view name, Variant value) { dispatch.Put(Id(name), std::move(value)); }
  Variant Call(std::u16string_view name, std::vector<Variant> args = {}) {
    return dispatch.Invoke(Id(name), InvokeKind::kMethod, args);
  }

  // Sets up a message through dispatch calls only.
  void Address() {
    Put(u"RemoteHost", Variant(u"mail.example.com"));
    Put(u"MailFrom", Variant(u"from@example.com"));
    Put(u"RcptTo", Variant(u"a@example.com"));
    Put(u"Subject", Variant(u"Hi"));
    Put(u"Body", Variant(u"Hello"));
  }

  void Serve(const std::function<std::u16string(const std::u16string&)>& answer = Accepting) {
    testing::Serve(socket, timer, clock, answer);
  }

  std::string Transcript() const { return ToUtf8(socket.Transcript()); }
};

}  // namespace qv::component::testing
