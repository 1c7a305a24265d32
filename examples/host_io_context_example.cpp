// A program that already runs its own asio::io_context (here a small TCP echo
// service) and sends mail from it: the control runs on that io_context, in
// the program's own io.run(), beside the echo sessions.
//
//   host_io_context_example SMTP_PORT [ECHO_PORT]
//
// sends one message to 127.0.0.1:SMTP_PORT, for instance to a sink started
// with `qvsmtp sink --listen 127.0.0.1:2525`, while echoing every line sent
// to 127.0.0.1:ECHO_PORT (default 7007, 0 for any free port; try
// `nc 127.0.0.1 7007`). Once the message is sent, the echo service closes its
// listener and the program ends as soon as the last echo client leaves.
//
// Built with the program's own standalone Asio and its settings: link
// QVControls1::asio (or `pkg-config qvcontrols1-asio`).
#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "qv/asio/asio_loop.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"

namespace {

using asio::ip::tcp;

// Echoes what a client sends until it leaves.
void Echo(std::shared_ptr<tcp::socket> client) {
  auto buffer = std::make_shared<std::array<char, 4096>>();
  client->async_read_some(asio::buffer(*buffer),
                          [client, buffer](std::error_code ec, std::size_t n) {
                            if (ec) return;
                            asio::async_write(*client, asio::buffer(*buffer, n),
                                              [client, buffer](std::error_code ec, std::size_t) {
                                                if (!ec) Echo(client);
                                              });
                          });
}

void Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept([&acceptor](std::error_code ec, tcp::socket socket) {
    if (ec) return;  // closed: the program is ending
    Echo(std::make_shared<tcp::socket>(std::move(socket)));
    Accept(acceptor);
  });
}

// Prints what the control reports and closes the echo service at the end.
class Narration : public qv::qvSMTPEvents {
 public:
  explicit Narration(tcp::acceptor& acceptor) : acceptor_(acceptor) {}
  void DebugMessage(qv::String& msg) override {
    std::printf("qvSMTP: %s\n", qv::ToUtf8(msg).c_str());
  }
  void SendComplete(qv::Integer& status) override {
    status_ = status;
    std::printf("qvSMTP: send complete, status %d\n", static_cast<int>(status));
    std::error_code ignored;
    acceptor_.close(ignored);
  }
  int status() const { return status_; }

 private:
  tcp::acceptor& acceptor_;
  int status_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: host_io_context_example SMTP_PORT [ECHO_PORT]\n");
    return 2;
  }
  const auto smtp_port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const auto echo_port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : 7007);

  // The program's own io_context and its own service on it.
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), echo_port));
  Accept(acceptor);
  std::printf("echo service on 127.0.0.1:%u\n",
              static_cast<unsigned>(acceptor.local_endpoint().port()));

  // The control on that same io_context.
  qv::asio_host::AsioLoop loop(io);
  qv::connection::SocketOptions options;
  options.port = smtp_port;  // the control always asks for port 25
  qv::runtime::ControlSite site(loop, options);
  Narration narration(acceptor);
  site->Advise(&narration);
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(u"host@example.com");
  site->put_RcptTo(u"someone@example.com");
  site->put_Subject(u"Sent from a program's own io_context");
  site->put_Body(qv::Variant(u"The echo service kept running while this went out."));
  site->Send();

  io.run();  // the program's loop: echo sessions and the mail conversation
  site->Advise(nullptr);
  return narration.status() == 0 ? 0 : 1;
}
