// The TLS filter over a scripted transport, against a TLS server in the same
// process (OpenSSL on memory buffers) whose certificates are made per case:
// what the user sees for each way a server's certificate can be wrong.
#include "qv/connection/tls_filter.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "connection/socket_recorder.hpp"
#include "qv/connection/connection_socket.hpp"
#include "qv/core/automation_error.hpp"
#include "support/manual_loop.hpp"
#include "support/scripted_transport.hpp"
#include "support/tls_peer.hpp"

namespace qv::connection {
namespace {

using test_support::Cert;
using test_support::Handshake;
using test_support::Key;
using test_support::ManualLoop;
using test_support::NewCert;
using test_support::NewKey;
using test_support::Pki;
using test_support::ScriptedTransport;
using test_support::Server;
using test_support::TransportScript;

class Upper : public TransportEvents {
 public:
  void OnTransportConnected() override { connected = true; }
  void OnTransportReceived(std::string_view bytes) override { received += bytes; }
  void OnTransportWritable() override {}
  void OnTransportPeerClosed() override { closed = true; }
  void OnTransportFailed(Long n, const std::string& text) override {
    number = n;
    error = text;
  }
  bool connected = false;
  bool closed = false;
  std::string received;
  Long number = 0;
  std::string error;
};

struct Case {
  const char* name;
  const char* server_name;  // what the user asked for
  const char* alt_name;     // in the server's certificate
  long days_from, days_to;  // the certificate's validity around now
  bool trusted_ca;          // signed by the CA the client trusts
  Long number;              // 0: delivered
  const char* error;
};

class TlsFilterCase : public ::testing::TestWithParam<Case> {};

TEST_P(TlsFilterCase, VerifiesTheServerAndCarriesTextBothWays) {
  const Case& c = GetParam();
  const Key ca_key = NewKey();
  const Cert ca = NewCert(ca_key.get(), "test CA", nullptr, nullptr, -1, 2, nullptr, true);
  const Key other_key = NewKey();
  const Cert other = NewCert(other_key.get(), "other CA", nullptr, nullptr, -1, 2, nullptr, true);
  const Key key = NewKey();
  const Cert cert = NewCert(key.get(), "server", c.trusted_ca ? ca.get() : other.get(),
                            c.trusted_ca ? ca_key.get() : other_key.get(), c.days_from, c.days_to,
                            c.alt_name, false);
  char path[] = "/tmp/qv-tls-ca-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE* file = fdopen(fd, "w");
  PEM_write_X509(file, ca.get());
  fclose(file);

  ManualLoop loop;
  auto script = std::make_shared<TransportScript>();
  TlsFilter filter(loop, std::make_unique<ScriptedTransport>(script),
                   TlsSettings{c.server_name, path, true});
  Upper upper;
  filter.SetEvents(&upper);
  filter.Connect(c.server_name, 465);
  Server server(cert.get(), key.get());
  std::string clear;
  script->Connect();  // implicit TLS: the client speaks first
  Handshake(loop, *script, server, clear);
  unlink(path);
  EXPECT_EQ(upper.number, c.number);
  EXPECT_EQ(upper.error, c.error);
  EXPECT_EQ(upper.connected, c.number == 0);
  if (c.number != 0) return;
  EXPECT_EQ(filter.session().version, "TLSv1.3");
  const std::string_view hello[1] = {"EHLO client\r\n"};
  EXPECT_EQ(filter.Write(hello), 13u);
  server.Take(std::exchange(script->wire, {}), clear);
  EXPECT_EQ(clear, "EHLO client\r\n");
  script->Receive(server.Say("250 hi\r\n"));
  EXPECT_EQ(upper.received, "250 hi\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsFilterCase,
    ::testing::Values(
        Case{"Delivered", "localhost", "DNS:localhost", -1, 2, true, 0, ""},
        Case{"DeliveredToAnAddress", "127.0.0.1", "IP:127.0.0.1", -1, 2, true, 0, ""},
        Case{"UnknownCa", "localhost", "DNS:localhost", -1, 2, false, tls_error::kUntrusted,
             "The server's certificate is not trusted: unable to get local issuer certificate"},
        Case{"AnotherName", "mail.example", "DNS:localhost", -1, 2, true, tls_error::kNameMismatch,
             "The server's certificate is not for mail.example: it is for localhost"},
        Case{"AnotherAddress", "127.0.0.2", "IP:127.0.0.1", -1, 2, true, tls_error::kNameMismatch,
             "The server's certificate is not for 127.0.0.2: it is for 127.0.0.1"},
        // Without DNS or IP entries the common name is the one checked; the
        // names shown are the first eight, each printable.
        Case{"AnotherCommonName", "mail.example", nullptr, -1, 2, true, tls_error::kNameMismatch,
             "The server's certificate is not for mail.example: it is for server"},
        Case{"AnotherOfManyNames", "mail.example",
             "DNS:m1.example,DNS:m2 example,DNS:m3.example,DNS:m4.example,DNS:m5.example,"
             "DNS:m6.example,DNS:m7.example,IP:::1,DNS:m9.example,DNS:m10.example",
             -1, 2, true, tls_error::kNameMismatch,
             "The server's certificate is not for mail.example: it is for m1.example, m2?example, "
             "m3.example, m4.example, m5.example, m6.example, m7.example, ::1 and 2 more"},
        Case{"Expired", "localhost", "DNS:localhost", -3, -1, true, tls_error::kExpired,
             "The server's certificate is not valid now: certificate has expired"}),
    [](const auto& info) { return std::string(info.param.name); });

// What a server that is not speaking TLS, or stops, makes of the handshake.
TEST(TlsFilter, AServerThatBreaksTheHandshakeEndsItWithItsReason) {
  struct Broken {
    const char* name;
    const char* answer;  // nullptr: the server closes
    Long number;
  };
  for (const Broken& b :
       {Broken{"Plain", "220 mail.example ESMTP\r\n", tls_error::kHandshakeFailed},
        Broken{"Closes", nullptr, tls_error::kClosedInHandshake}}) {
    SCOPED_TRACE(b.name);
    ManualLoop loop;
    auto script = std::make_shared<TransportScript>();
    TlsFilter filter(loop, std::make_unique<ScriptedTransport>(script),
                     TlsSettings{"localhost", "", true});
    Upper upper;
    filter.SetEvents(&upper);
    script->Connect();
    EXPECT_FALSE(script->wire.empty());  // the client's hello
    if (b.answer != nullptr) {
      script->Receive(b.answer);
    } else {
      script->PeerClose();
    }
    EXPECT_EQ(upper.number, b.number);
    EXPECT_FALSE(upper.connected);
    const std::string_view text[1] = {"MAIL FROM:<a@b>\r\n"};
    EXPECT_EQ(filter.Write(text), 0u);  // nothing in the clear, ever
  }
}

// The session a server handed out is resumed by the next connection to the
// same name and port with the same trust: a round trip, not a full
// handshake. Another name, or another listener of the same server (which
// would take the ticket without showing its certificate), starts afresh.
TEST(TlsFilter, TheNextConnectionToTheServerResumesItsSession) {
  const Pki pki;
  SSL_CTX* server_ctx = SSL_CTX_new(TLS_server_method());
  const struct {
    const char* name;
    std::uint16_t port;
    bool resumed;
  } connections[] = {{"localhost", 587, false},
                     {"localhost", 587, true},
                     {"localhost", 465, false},
                     {"127.0.0.1", 587, false}};
  for (const auto& [name, port, resumed] : connections) {
    SCOPED_TRACE(std::string(name) + ":" + std::to_string(port));
    ManualLoop loop;
    auto script = std::make_shared<TransportScript>();
    TlsFilter filter(loop, std::make_unique<ScriptedTransport>(script),
                     TlsSettings{name, pki.path, true, port});
    Upper upper;
    filter.SetEvents(&upper);
    Server server(pki.cert.get(), pki.key.get(), server_ctx);
    std::string clear;
    script->Connect();
    Handshake(loop, *script, server, clear);
    ASSERT_TRUE(upper.connected) << upper.error;
    EXPECT_EQ(filter.session().resumed, resumed);
    script->Receive(server.Say("220 ready\r\n"));  // the client reads its ticket on the way
    EXPECT_EQ(upper.received, "220 ready\r\n");
  }
  SSL_CTX_free(server_ctx);
}

// A socket service on a scripted transport, with its wire trace.
struct SocketRig {
  SocketRig() {
    SocketOptions options;
    options.wire_trace = [this](WireDirection direction, std::string_view bytes) {
      trace.emplace_back(direction, std::string(bytes));
    };
    socket = std::make_unique<ConnectionSocket>(loop, gate, std::move(options), [this] {
      script = std::make_shared<TransportScript>();
      return std::make_unique<ScriptedTransport>(script);
    });
    events = std::make_unique<contract::Recorder>(*socket);
  }
  // Carries the encrypted stream between the socket and server until quiet.
  void Pump(Server& server, std::string& clear) {
    for (int round = 0; round < 8; ++round) {
      const std::string answer = server.Take(std::exchange(script->wire, {}), clear);
      if (!answer.empty()) script->Receive(answer);
      loop.RunPosted();
    }
  }

  ManualLoop loop;
  DeliveryGate gate{loop};
  std::shared_ptr<TransportScript> script;
  std::vector<std::pair<WireDirection, std::string>> trace;
  std::unique_ptr<ConnectionSocket> socket;
  std::unique_ptr<contract::Recorder> events;
};

// The socket service turns a connection to TLS after the server's go-ahead
// (STARTTLS) or from its first byte (implicit TLS); the owner hears when, the
// text goes encrypted both ways, and the trace marks where TLS began.
TEST(SocketTls, AfterTheGoAheadOrFromTheFirstByte) {
  const Pki pki;
  for (const bool implicit : {false, true}) {
    SCOPED_TRACE(implicit ? "implicit" : "STARTTLS");
    SocketRig rig;
    Server server(pki.cert.get(), pki.key.get());
    const TlsRequest request{u"localhost", FromUtf8(pki.path)};
    if (implicit) rig.socket->StartTls(request);
    rig.socket->Connect(u"localhost", 465);
    rig.script->Connect();
    rig.loop.RunPosted();
    std::string clear;
    if (!implicit) {
      rig.script->Receive("220 go ahead\r\n");
      rig.loop.RunPosted();
      rig.socket->StartTls(request);
    }
    rig.Pump(server, clear);
    // From the first byte, the connection counts as made once TLS stands.
    const std::vector<std::string> told =
        implicit ? std::vector<std::string>{"Connect"}
                 : std::vector<std::string>{"Connect", "Data", "Secured"};
    EXPECT_EQ(rig.events->events, told);
    EXPECT_EQ(ToUtf8(rig.socket->TlsDescription()).substr(0, 8), "TLSv1.3 ");
    rig.socket->SendData(u"EHLO client\r\n");
    rig.loop.RunPosted();
    rig.Pump(server, clear);
    EXPECT_EQ(clear, "EHLO client\r\n");
    // More than the filter holds back at once, to a transport that takes
    // everything: it must go on encrypting, never wait to be told to.
    const std::string body(600 * 1024, 'x');
    rig.socket->SendUtf8(body);
    rig.loop.RunPosted();
    clear.clear();
    rig.Pump(server, clear);
    EXPECT_EQ(clear.size(), body.size());
    rig.script->Receive(server.Say("250 hi\r\n"));
    rig.loop.RunPosted();
    EXPECT_EQ(ToUtf8(rig.events->text), implicit ? "250 hi\r\n" : "220 go ahead\r\n250 hi\r\n");
    ASSERT_GE(rig.trace.size(), 2u);
    const auto marker = std::find_if(rig.trace.begin(), rig.trace.end(), [](const auto& piece) {
      return piece.first == WireDirection::kSecured;
    });
    ASSERT_NE(marker, rig.trace.end());
    EXPECT_EQ(FromUtf8(marker->second), rig.socket->TlsDescription());
    EXPECT_EQ(std::next(marker)->second, "EHLO client\r\n");  // clear text, after the mark
  }
}

// Text that arrived after the go-ahead and before the handshake came in the
// clear from whoever sits on the path: the socket refuses to start TLS over
// it, so it can never pass for the server's encrypted answer.
TEST(SocketTls, TextWaitingFromBeforeTheHandshakeIsRefused) {
  const Pki pki;
  SocketRig rig;
  rig.events->fetch = false;
  rig.socket->Connect(u"localhost", 25);
  rig.script->Connect();
  rig.script->Receive("220 go ahead\r\n250-PIPELINING\r\n");
  rig.loop.RunPosted();
  try {
    rig.socket->StartTls(TlsRequest{u"localhost", FromUtf8(pki.path)});
    ADD_FAILURE() << "TLS started over text from before the handshake";
  } catch (const AutomationError& error) {
    EXPECT_EQ(error.number(), tls_error::kTextBeforeHandshake);
  }
  EXPECT_TRUE(rig.socket->TlsDescription().empty());
}

}  // namespace
}  // namespace qv::connection
