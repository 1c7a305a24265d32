// Plays one two-recipient conversation of the qvSMTP control against the test
// doubles and prints the exact bytes the server receives and the events the
// host sees, in order.
#include <cstdio>
#include <string>

#include "qv/component/factory.hpp"
#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/testing/fake_host.hpp"
#include "qv/testing/fake_socket.hpp"
#include "qv/testing/manual_clock.hpp"
#include "qv/testing/manual_timer.hpp"
#include "qv/testing/recording_sink.hpp"

namespace {

// Shows CR and LF so that the transcript can be compared byte for byte.
std::string Visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::u16string ServerAnswer(const std::u16string& written) {
  if (written.rfind(u"DATA", 0) == 0) return u"354 End data with <CR><LF>.<CR><LF>\r\n";
  if (written.rfind(u"QUIT", 0) == 0) return u"221 Bye\r\n";
  if (written.rfind(u"HELO", 0) == 0 || written.rfind(u"MAIL", 0) == 0 ||
      written.rfind(u"RCPT", 0) == 0 || written == u"\r\n.\r\n") {
    return u"250 OK\r\n";
  }
  return u"";
}

}  // namespace

int main() {
  using namespace qv;
  testing::FakeSocket socket;
  testing::ManualTimer timer;
  testing::ManualClock clock(Date{36959.29517361111});  // 9 March 2001 07:05:03
  testing::FakeHost host;
  testing::RecordingSink sink;

  // Created as the library's class object creates it; this sends Initialize.
  const auto object = component::CreateQvSmtp(socket, timer, clock, host);
  qvSMTP& smtp = object->control();
  smtp.InitProperties();
  smtp.Resize();
  smtp.Advise(&sink);
  smtp.put_RemoteHost(u"mail.example.com");
  smtp.put_MailFrom(u"alice@example.com");
  smtp.put_RcptTo(u"bob@example.com, carol@example.com");
  smtp.put_Subject(u"Lunch");
  smtp.put_Body(Variant(u"Noon at the usual place?\r\n.\r\nAlice"));
  smtp.put_DateHeader(clock.Now());

  smtp.Send();
  socket.AcceptConnection();
  socket.ServerSends(u"220 mail.example.com ESMTP ready\r\n");
  std::size_t answered = 0;
  int ticks = 0;
  while (timer.Tick()) {
    ++ticks;
    clock.Advance(0.05);
    for (; answered < socket.writes.size(); ++answered) {
      const std::u16string reply = ServerAnswer(socket.writes[answered]);
      if (!reply.empty()) socket.ServerSends(reply);
    }
  }

  std::printf("== What the server received (%d ticks of 50 ms)\n%s\n", ticks,
              Visible(ToUtf8(socket.Transcript())).c_str());
  std::printf("== Events the host saw\n");
  for (const std::string& event : sink.events) std::printf("%s\n", event.c_str());
  std::printf("== Outcome\nstatus %d: %s\n", smtp.get_status(),
              ToUtf8(smtp.get_StatusStr()).c_str());
  return smtp.get_status() == 0 ? 0 : 1;
}
