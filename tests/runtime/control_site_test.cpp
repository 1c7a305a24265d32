// The control on the real runtime, sending to a small SMTP server of the test's
// own on the loopback interface.
#include "qv/runtime/control_site.hpp"
#include "support/helo_name.hpp"

#include <gtest/gtest.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "loopback_server.hpp"
#include "qv/core/date.hpp"
#include "qv/core/text.hpp"
#include "qv/host/memory_property_bag.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/testing/recording_sink.hpp"

namespace qv::runtime {
namespace {

using namespace std::chrono_literals;
using connection::SocketOptions;
using qv::testing::RecordingSink;
using test_support::LoopbackServer;
using test_support::Peer;

using test_support::PlaySmtpServer;

SocketOptions RedirectTo(std::uint16_t port) {
  SocketOptions options;
  options.port = port;
  return options;
}

void Address(qvSMTP& control) {
  control.put_RemoteHost(u"127.0.0.1");
  control.put_MailFrom(u"from@example.com");
  control.put_RcptTo(u"a@example.com, b@example.com");
  control.put_Subject(u"Gr\u00fc\u00dfe");
  control.put_DateHeader(*FromCalendar(2001, 3, 9, 7, 5, 3));
}

// The zone the Date header carries: the host's offset at that date, "+HHMM".
std::string ZoneText(Clock& clock, Date date) {
  const int offset = clock.UtcOffsetMinutes(date);
  const int magnitude = offset < 0 ? -offset : offset;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d%02d", offset < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

// Both ways of making a site create the control as the class object does:
// the design size (kept by every Resize), mailTimer at 50 ms and stopped.
TEST(ControlSite, CreatesTheControlAsTheClassObjectDoes) {
  EventLoop loop;
  MemoryPropertyBag empty;
  for (const bool restored : {false, true}) {
    SCOPED_TRACE(restored ? "restored" : "new");
    auto site =
        restored ? std::make_unique<ControlSite>(loop, empty) : std::make_unique<ControlSite>(loop);
    EXPECT_EQ(site->host().Width(), kControlWidth);
    EXPECT_EQ(site->host().Height(), kControlHeight);
    EXPECT_EQ(site->timer().Interval(), 50);
    EXPECT_FALSE(site->timer().Enabled());
    site->host().SetWidth(1000);
    site->control().Resize();
    EXPECT_EQ(site->host().Width(), kControlWidth);
  }
}

TEST(ControlSite, SendsAWholeMessageToAnSmtpServer) {
  LoopbackServer server(PlaySmtpServer);
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  ControlSite site(loop, RedirectTo(server.port()));
  RecordingSink sink;
  site->Advise(&sink);
  Address(site.control());
  site->put_Body(Variant(String(u"Hello")));

  ASSERT_EQ(site->Send(), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 5s));
  EXPECT_EQ(site->get_status(), 0);
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  EXPECT_EQ(sink.CountOf("SendComplete"), 1);
  // QUIT went out with the close; the server saw it and the connection's end.
  ASSERT_TRUE(loop.RunUntil([&] { return server.finished() == 1; }, 3s));
  const std::string expected = "HELO " + qv::test_support::ExpectedLoopbackHeloName() +
                               "\r\n"
                               "MAIL FROM: <from@example.com>\r\n"
                               "RCPT TO: <a@example.com>\r\n"
                               "RCPT TO: <b@example.com>\r\n"
                               "DATA\r\n"
                               "Priority: Normal\r\n"
                               "From: from@example.com\r\n"
                               "To: a@example.com, b@example.com\r\n"
                               "Date: Fri, 9 Mar 2001 07:05:03 " +
                               ZoneText(site.clock(), *FromCalendar(2001, 3, 9, 7, 5, 3)) +
                               "\r\n"
                               "Message-ID: <" +
                               ToUtf8(site->get_MessageId()) +
                               ">\r\n"
                               "MIME-Version: 1.0\r\n"
                               "Content-type: text/plain; charset=UTF-8\r\n"
                               "X-Mailer: qvSMTP by Quenvix\r\n"
                               "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"
                               "\r\n"
                               "Hello\r\n"
                               "\r\n.\r\n"
                               "QUIT\r\n";
  ASSERT_EQ(server.transcripts().size(), 1u);
  EXPECT_EQ(server.transcripts()[0], expected);
}

TEST(ControlSite, ABodyWrittenFromSendBodyGoesOutWhole) {
  LoopbackServer server(PlaySmtpServer);
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  ControlSite site(loop, RedirectTo(server.port()));
  RecordingSink sink;
  site->Advise(&sink);
  Address(site.control());
  site->put_BodyEvent(1);
  String body;
  for (int i = 0; i < 40000; ++i)
    body += u"line of the body, number " + FromUtf8(std::to_string(i)) + u"\r\n";
  sink.on_send_body = [&](Integer&) {
    Variant text(body);
    site->SendData(text);
  };

  ASSERT_EQ(site->Send(), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 5s));
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  ASSERT_TRUE(loop.RunUntil([&] { return server.finished() == 1; }, 3s));
  const std::string wire = server.transcripts().at(0);
  const std::string data = "\r\n\r\n" + ToUtf8(body) + "\r\n.\r\nQUIT\r\n";
  ASSERT_GE(wire.size(), data.size());
  EXPECT_EQ(wire.substr(wire.size() - data.size()), data);
}

// A host with a poll() loop of its own, serving a descriptor of its own
// beside the runtime's: the send completes inside the host's calls of Poll,
// and while the SendBody handler steps the host's loop nothing reaches the
// control.
TEST(ControlSite, SendsFromTheHostsOwnPollLoop) {
  LoopbackServer server(PlaySmtpServer);
  ASSERT_TRUE(server.ok());
  int host_pipe[2];
  ASSERT_EQ(::pipe(host_pipe), 0);
  int host_reads = 0;
  EventLoop loop;
  // One round of the host's loop: the runtime's descriptor and its own pipe.
  const auto host_round = [&](int wait_ms) {
    pollfd fds[] = {{loop.Descriptor(), POLLIN, 0}, {host_pipe[0], POLLIN, 0}};
    if (::poll(fds, 2, wait_ms) <= 0) return;
    if (fds[0].revents & POLLIN) loop.Poll();
    if (fds[1].revents & POLLIN) {
      char c;
      host_reads += static_cast<int>(::read(host_pipe[0], &c, 1));
    }
  };
  ControlSite site(loop, RedirectTo(server.port()));
  RecordingSink sink;
  site->Advise(&sink);
  Address(site.control());
  site->put_BodyEvent(1);
  std::size_t events_inside = SIZE_MAX;
  sink.on_send_body = [&](Integer&) {
    site->SendData(Variant(u"Body from the handler"));
    const std::size_t before = sink.events.size();
    ASSERT_EQ(::write(host_pipe[1], "h", 1), 1);
    for (int i = 0; i < 10; ++i) host_round(3);  // the host's own loop, nested
    events_inside = sink.events.size() - before;
  };

  ASSERT_EQ(site->Send(), 0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (site->get_Busy() != kFalse && std::chrono::steady_clock::now() < deadline) {
    host_round(100);
  }
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  EXPECT_EQ(events_inside, 0u);
  EXPECT_EQ(host_reads, 1);
  while (server.finished() == 0 && std::chrono::steady_clock::now() < deadline) {
    host_round(100);
  }
  ASSERT_EQ(server.transcripts().size(), 1u);
  EXPECT_NE(server.transcripts()[0].find("\r\n\r\nBody from the handler\r\n.\r\nQUIT\r\n"),
            std::string::npos);
  ::close(host_pipe[0]);
  ::close(host_pipe[1]);
}

// An exception from a handler reaches the host through the call that raised
// the event: Send itself, or the loop's run for a socket notification or a
// tick. The send it interrupts ends first, so the next Send works.
TEST(ControlSite, AThrowingHandlerReachesTheHostAndTheNextSendWorks) {
  struct Case {
    const char* event;  // the recorded event whose handler throws
    bool from_send;     // raised inside Send rather than by the loop
    const char* status_str;
  };
  const Case cases[] = {
      {"DebugMessage Connecting to", true, "handler failed"},
      {"DebugMessage Connected", false, "handler failed"},
      {"DebugMessage Sending HELO", false, "handler failed"},
      {"SendBody", false, "handler failed"},
      {"SendComplete 0", false, "Success"},  // after the ending: nothing to end
  };
  // Two connections a case, but none for the first failing Send.
  LoopbackServer server(PlaySmtpServer, LoopbackServer::Family::kIPv4, 2 * std::size(cases) - 1);
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  ControlSite site(loop, RedirectTo(server.port()));
  RecordingSink sink;
  site->Advise(&sink);
  Address(site.control());
  site->put_BodyEvent(1);
  const char* throw_at = nullptr;
  const auto maybe_throw = [&] {
    if (throw_at != nullptr && sink.events.back().rfind(throw_at, 0) == 0) {
      throw_at = nullptr;
      throw std::runtime_error("handler failed");
    }
  };
  sink.on_debug_message = [&](String&) { maybe_throw(); };
  sink.on_send_complete = [&](Integer&) { maybe_throw(); };
  sink.on_send_body = [&](Integer&) {
    site->SendData(Variant(u"body"));
    maybe_throw();
  };
  const auto idle = [&] { return site->get_Busy() == kFalse; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    throw_at = c.event;
    if (c.from_send) {
      EXPECT_THROW(site->Send(), std::runtime_error);
    } else {
      ASSERT_EQ(site->Send(), 0);
      EXPECT_THROW(loop.RunUntil([] { return false; }, 5s), std::runtime_error);
    }
    ASSERT_TRUE(loop.RunUntil(idle, 5s));
    EXPECT_EQ(ToUtf8(site->get_StatusStr()), c.status_str);
    ASSERT_EQ(site->Send(), 0);
    ASSERT_TRUE(loop.RunUntil(idle, 5s));
    EXPECT_EQ(site->get_StatusStr(), u"Success");
  }
}

TEST(ControlSite, ARefusedConnectionEndsTheSendWithTheSocketsText) {
  EventLoop loop;
  ControlSite site(loop, RedirectTo(test_support::UnusedLoopbackPort()));
  RecordingSink sink;
  site->Advise(&sink);
  Address(site.control());
  ASSERT_EQ(site->Send(), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 3s));
  EXPECT_EQ(site->get_status(), 2);
  EXPECT_EQ(site->get_StatusStr(), u"Connection refused");
  EXPECT_EQ(sink.CountOf("SendComplete 2"), 1);
  loop.Run();  // the timer is stopped and the socket closed: nothing is left
}

TEST(ControlSite, ManyControlsSendAtOnceOnOneLoop) {
  constexpr int kControls = 12;
  LoopbackServer server(PlaySmtpServer, LoopbackServer::Family::kIPv4, kControls);
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  std::vector<std::unique_ptr<ControlSite>> sites;
  for (int i = 0; i < kControls; ++i) {
    sites.push_back(std::make_unique<ControlSite>(loop, RedirectTo(server.port())));
    Address(sites.back()->control());
    sites.back()->control().put_Body(Variant(FromUtf8("message " + std::to_string(i))));
    ASSERT_EQ(sites.back()->control().Send(), 0);
  }
  const auto all_done = [&] {
    for (auto& site : sites) {
      if (site->control().get_Busy() != kFalse) return false;
    }
    return true;
  };
  ASSERT_TRUE(loop.RunUntil(all_done, 5s));
  for (auto& site : sites) EXPECT_EQ(site->control().get_StatusStr(), u"Success");
  ASSERT_TRUE(loop.RunUntil([&] { return server.finished() == kControls; }, 3s));
  std::vector<bool> seen(kControls, false);
  for (const auto& wire : server.transcripts()) {
    for (int i = 0; i < kControls; ++i) {
      if (wire.find("\r\nmessage " + std::to_string(i) + "\r\n") != std::string::npos) {
        seen[i] = true;
      }
    }
    EXPECT_TRUE(wire.ends_with("\r\n.\r\nQUIT\r\n"));
  }
  EXPECT_EQ(seen, std::vector<bool>(kControls, true));
}

// Heap in use, from the allocator's own count.
std::size_t HeapInUse() { return mallinfo2().uordblks; }

TEST(ControlSite, AnIdleControlCostsLittleMemory) {
  constexpr int kControls = 1000;
  EventLoop loop;
  std::vector<std::unique_ptr<ControlSite>> sites;
  sites.reserve(kControls);
  const std::size_t before = HeapInUse();
  for (int i = 0; i < kControls; ++i) sites.push_back(std::make_unique<ControlSite>(loop));
  const std::size_t per_control = (HeapInUse() - before) / kControls;
  RecordProperty("bytes_per_idle_control", static_cast<int>(per_control));
  EXPECT_LT(per_control, 16u << 10);
}

TEST(ControlSite, AControlWaitingForItsServerCostsLittleMemory) {
  constexpr int kControls = 40;
  LoopbackServer server([](Peer& peer) { peer.ReadUntil("never", 1500ms); },
                        LoopbackServer::Family::kIPv4, kControls);
  ASSERT_TRUE(server.ok());
  EventLoop loop;
  std::vector<std::unique_ptr<ControlSite>> sites;
  sites.reserve(kControls);
  const std::size_t before = HeapInUse();
  for (int i = 0; i < kControls; ++i) {
    sites.push_back(std::make_unique<ControlSite>(loop, RedirectTo(server.port())));
    Address(sites.back()->control());
    ASSERT_EQ(sites.back()->control().Send(), 0);
  }
  const auto all_connected = [&] {
    for (auto& site : sites) {
      if (site->socket().State() != socket_state::kConnected) return false;
    }
    return true;
  };
  ASSERT_TRUE(loop.RunUntil(all_connected, 3s));
  const std::size_t per_control = (HeapInUse() - before) / kControls;
  RecordProperty("bytes_per_connected_control", static_cast<int>(per_control));
  EXPECT_LT(per_control, 16u << 10);
  sites.clear();  // Terminate closes every connection
  loop.Run();
}

}  // namespace
}  // namespace qv::runtime
