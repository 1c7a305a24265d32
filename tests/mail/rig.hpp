// A control wired to the test doubles, with helpers that play the server.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "control/control_internals.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"
#include "qv/testing/recording_sink.hpp"

namespace qv::testing {

struct Rig {
  FakeSocket socket;
  ManualTimer timer;
  ManualClock clock{Date{36959.29517361111}};  // 9 March 2001 07:05:03
  FakeHost host;
  RecordingSink sink;
  qvSMTP control{socket, timer, clock, host};

  Rig() {
    control.Initialize();
    control.InitProperties();
    control.Advise(&sink);
    control.put_RemoteHost(u"mail.example.com");
    control.put_MailFrom(u"from@example.com");
    control.put_RcptTo(u"a@example.com, b@example.com");
    control.put_Subject(u"Hi");
    control.put_Body(Variant(u"Hello"));
    control.put_DateHeader(Date{36959.29517361111});
    // The id is random otherwise; the first message carries this one.
    control.put_MessageId(u"1@example.com");
    host.changed.clear();
  }

  Integer state() const { return ControlInternals::Session(control).SessionState(); }

  // Ticks once, an interval of the timer later.
  bool Tick() {
    clock.Advance(static_cast<double>(timer.Interval()) / 1000.0);
    return timer.Tick();
  }

  // Answers each command the control writes with the reply that answer()
  // gives (nothing when it returns empty), ticking until the send completes or
  // max_ticks have passed. Returns the ticks delivered.
  int Serve(const std::function<std::u16string(const std::u16string&)>& answer,
            int max_ticks = 200) {
    int ticks = 0;
    std::size_t seen = socket.writes.size();
    while (ticks < max_ticks && timer.Enabled()) {
      if (!Tick()) break;
      ++ticks;
      while (seen < socket.writes.size()) {
        const std::u16string reply = answer(socket.writes[seen++]);
        if (!reply.empty()) socket.ServerSends(reply);
      }
    }
    return ticks;
  }

  // Starts a send, accepts the connection and greets.
  void StartAndGreet() {
    control.Send();
    socket.AcceptConnection();
    socket.ServerSends(u"220 mail.example.com ESMTP\r\n");
  }

  // A server that accepts everything.
  static std::u16string Accepting(const std::u16string& line) {
    if (line.rfind(u"DATA", 0) == 0) return u"354 go ahead\r\n";
    if (line.rfind(u"HELO", 0) == 0 || line.rfind(u"MAIL", 0) == 0 || line.rfind(u"RCPT", 0) == 0 ||
        line == u"\r\n.\r\n") {
      return u"250 OK\r\n";
    }
    return u"";
  }

  // Brings the conversation to WaitDataAck: DATA written, no answer yet.
  void BringToWaitDataAck() {
    StartAndGreet();
    std::size_t seen = 0;
    while (state() != mail::session_state::kWaitDataAck && Tick()) {
      for (; seen < socket.writes.size(); ++seen) {
        if (socket.writes[seen] != u"DATA\r\n") socket.ServerSends(Accepting(socket.writes[seen]));
      }
    }
  }

  std::string Transcript() const { return ToUtf8(socket.Transcript()); }
};

}  // namespace qv::testing
