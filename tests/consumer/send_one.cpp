// A program outside the project that uses the installed library: sends one
// message to a loopback SMTP server on the port given, reached through the
// port-25 redirect, and exits with the control's outcome (0 for success).
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "qv/control/qvsmtp.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"

namespace {

struct Outcome final : qv::qvSMTPEvents {
  bool done = false;
  void SendComplete(qv::Integer&) override { done = true; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: send_one PORT\n");
    return 64;
  }
  qv::connection::SocketOptions options;
  options.port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  qv::runtime::EventLoop loop;
  qv::runtime::ControlSite site(loop, options);
  qv::qvSMTP& smtp = site.control();
  Outcome outcome;
  smtp.Advise(&outcome);
  smtp.put_RemoteHost(u"127.0.0.1");
  smtp.put_MailFrom(u"consumer@example.com");
  smtp.put_RcptTo(u"sink@example.com");
  smtp.put_Subject(u"Consumer check");
  smtp.put_Body(qv::Variant(u"Sent by a program built against the installed library."));
  smtp.Send();
  loop.RunUntil([&] { return outcome.done; }, std::chrono::seconds(30));
  smtp.Advise(nullptr);
  std::printf("status %d: %s\n", smtp.get_status(), qv::ToUtf8(smtp.get_StatusStr()).c_str());
  return outcome.done ? smtp.get_status() : 99;
}
