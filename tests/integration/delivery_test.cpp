// The control on the real runtime against SMTP servers that no one here wrote:
// aiosmtpd, which stores every message it takes (store_server.py), and
// Postfix's smtp-sink. ctest starts them (servers.py) and names the folder
// where they are recorded in QV_INTEGRATION_SERVERS; without it these tests
// skip themselves.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "qv/core/date.hpp"
#include "qv/core/text.hpp"
#include "qv/runtime/control_site.hpp"
#include "qv/runtime/event_loop.hpp"
#include "qv/testing/recording_sink.hpp"
#include "support/helo_name.hpp"

namespace qv::runtime {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using connection::SocketOptions;
using qv::testing::RecordingSink;

nlohmann::json ReadJson(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return nullptr;
  return nlohmann::json::parse(in, nullptr, false);
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string UniqueSender(const std::string& tag) {
  static std::mt19937_64 random{std::random_device{}()};
  char text[32];
  std::snprintf(text, sizeof text, "%012llx",
                static_cast<unsigned long long>(random() & 0xffffffffffffULL));
  return tag + "-" + text + "@qvsmtp.test";
}

struct Stored {
  nlohmann::json envelope;
  std::string message;
};

// Every message the store server took from sender.
std::vector<Stored> StoredFrom(const fs::path& spool, const std::string& sender) {
  std::vector<Stored> found;
  for (const auto& entry : fs::directory_iterator(spool)) {
    if (entry.path().extension() != ".json") continue;
    nlohmann::json envelope = ReadJson(entry.path());
    if (!envelope.is_object() || envelope.value("mail_from", "") != sender) continue;
    std::string message = ReadBytes(spool / envelope.at("message").get<std::string>());
    found.push_back({std::move(envelope), std::move(message)});
  }
  return found;
}

// A server that servers.py started.
class RealServer : public ::testing::Test {
 protected:
  void Load(const std::string& name) {
    const char* dir = std::getenv("QV_INTEGRATION_SERVERS");
    if (dir == nullptr || *dir == '\0') {
      GTEST_SKIP() << "QV_INTEGRATION_SERVERS is not set (run through ctest)";
    }
    const fs::path path = fs::path(dir) / (name + ".json");
    const nlohmann::json state = ReadJson(path);
    ASSERT_TRUE(state.is_object()) << "no server recorded in " << path;
    port_ = state.at("port").get<std::uint16_t>();
    if (state.contains("spool")) spool_ = state.at("spool").get<std::string>();
  }

  SocketOptions Options() const {
    SocketOptions options;
    options.port = port_;
    return options;
  }

  std::uint16_t port_ = 0;
  fs::path spool_;
};

class Aiosmtpd : public RealServer {
 protected:
  void SetUp() override {
    // A zone with summer time: the Date header carries the offset of its own
    // date, not of today.
    if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    Load("aiosmtpd");
  }
  void TearDown() override {
    if (saved_tz_) {
      ::setenv("TZ", saved_tz_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  // Sends and steps the loop until SendComplete.
  void SendAndWait(EventLoop& loop, ControlSite& site) {
    ASSERT_EQ(site->Send(), 0);
    ASSERT_TRUE(loop.RunUntil([&] { return site->get_Busy() == kFalse; }, 60s));
  }

  std::optional<std::string> saved_tz_;
};

TEST_F(Aiosmtpd, TheStoredMessageIsTheComposedOne) {
  EventLoop loop;
  ControlSite site(loop, Options());
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender("library");
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(u" ann@example.test,bea@example.test");
  site->put_Priority(u"High");
  site->put_Subject(u"Gr\u00fc\u00dfe\r\nvom Test");
  site->put_DateHeader(*FromCalendar(2021, 7, 4, 9, 30, 0));
  site->put_Body(Variant(String(u".\n.x\nline\r\n\u65e5\u672c \U0001F600\r..")));

  SendAndWait(loop, site);
  EXPECT_EQ(site->get_status(), 0);
  EXPECT_EQ(site->get_StatusStr(), u"Success");
  EXPECT_EQ(sink.CountOf("SendComplete"), 1);

  const std::vector<Stored> stored = StoredFrom(spool_, sender);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].envelope.at("rcpt_tos"),
            nlohmann::json({"ann@example.test", "bea@example.test"}));
  EXPECT_EQ(stored[0].envelope.at("helo"), qv::test_support::ExpectedLoopbackHeloName());
  EXPECT_EQ(stored[0].message,
            "Priority: High\r\n"
            "From: " +
                sender +
                "\r\n"
                "To:  ann@example.test,bea@example.test\r\n"
                "Date: Sun, 4 Jul 2021 09:30:00 -0400\r\n"
                "MIME-Version: 1.0\r\n"
                "Content-type: text/plain; charset=UTF-8\r\n"
                "Content-Transfer-Encoding: 8bit\r\n"
                "X-Mailer: qvSMTP by Quenvix\r\n"
                "Subject: =?UTF-8?B?R3LDvMOfZSB2b20gVGVzdA==?=\r\n"
                "\r\n"
                ".\r\n"
                ".x\r\n"
                "line\r\n"
                "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\r\n"
                "..\r\n"
                "\r\n");
}

TEST_F(Aiosmtpd, ASecondSendTakesItsBodyFromTheHandler) {
  EventLoop loop;
  ControlSite site(loop, Options());
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender("handler");
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(u"ann@example.test");
  site->put_Subject(u"first");
  site->put_DateHeader(*FromCalendar(2001, 1, 1, 0, 0, 0));
  site->put_Body(Variant(String(u"from Body")));
  SendAndWait(loop, site);
  ASSERT_EQ(site->get_status(), 0);

  // The handler's text goes out unchanged: dot-stuffing is its own affair.
  std::vector<Integer> tags;
  sink.on_send_body = [&](Integer& tag) {
    tags.push_back(tag);
    Variant text(String(u"first line\r\n..stuffed by the host\r\nlast"));
    site->SendData(text);
    tag = 0;
  };
  site->put_BodyEvent(3);
  site->put_Subject(u"second");
  SendAndWait(loop, site);
  EXPECT_EQ(site->get_status(), 0);
  EXPECT_EQ(tags, std::vector<Integer>{3});
  EXPECT_EQ(site->get_BodyEvent(), 0);

  const std::vector<Stored> stored = StoredFrom(spool_, sender);
  ASSERT_EQ(stored.size(), 2u);
  const std::string head =
      "Priority: Normal\r\n"
      "From: " +
      sender +
      "\r\n"
      "To: ann@example.test\r\n"
      "Date: Mon, 1 Jan 2001 00:00:00 -0500\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-type: text/plain; charset=US-ASCII\r\n"
      "X-Mailer: qvSMTP by Quenvix\r\n";
  std::vector<std::string> messages{stored[0].message, stored[1].message};
  std::sort(messages.begin(), messages.end());  // "first" before "second"
  EXPECT_EQ(messages[0], head + "Subject: first\r\n\r\nfrom Body\r\n\r\n");
  EXPECT_EQ(messages[1],
            head + "Subject: second\r\n\r\nfirst line\r\n.stuffed by the host\r\nlast\r\n");
}

TEST_F(Aiosmtpd, ARefusedRecipientEndsTheSendWithTheServersReply) {
  EventLoop loop;
  ControlSite site(loop, Options());
  RecordingSink sink;
  site->Advise(&sink);
  const std::string sender = UniqueSender("refused");
  site->put_RemoteHost(u"127.0.0.1");
  site->put_MailFrom(FromUtf8(sender));
  site->put_RcptTo(u"ann@example.test, refuse-this@example.test, cid@example.test");
  site->put_Body(Variant(String(u"never delivered")));
  SendAndWait(loop, site);

  EXPECT_EQ(site->get_status(), 4);
  EXPECT_EQ(site->get_StatusStr(),
            u"550 5.1.1 <refuse-this@example.test>: Recipient address rejected: no such "
            u"user\r\n");
  EXPECT_EQ(sink.CountOf("SendComplete"), 1);
  EXPECT_EQ(sink.CountOf("DebugMessage Sending RCPT: "), 2);
  EXPECT_EQ(sink.CountOf("DebugMessage Sending DATA"), 0);
  EXPECT_TRUE(StoredFrom(spool_, sender).empty());
}

class SmtpSink : public RealServer {
 protected:
  void SetUp() override { Load("smtp-sink"); }
};

TEST_F(SmtpSink, ManyControlsOnOneLoopAllSucceed) {
  constexpr int kControls = 100;
  EventLoop loop;
  std::vector<std::unique_ptr<ControlSite>> sites;
  std::vector<std::unique_ptr<RecordingSink>> sinks;
  String body;
  for (int i = 0; i < 50; ++i) body += u"a line of the body that is just long enough\r\n";
  for (int i = 0; i < kControls; ++i) {
    sites.push_back(std::make_unique<ControlSite>(loop, Options()));
    sinks.push_back(std::make_unique<RecordingSink>());
    ControlSite& site = *sites.back();
    site->Advise(sinks.back().get());
    site->put_RemoteHost(u"127.0.0.1");
    site->put_MailFrom(FromUtf8("load" + std::to_string(i) + "@example.test"));
    site->put_RcptTo(u"a@example.test, b@example.test, c@example.test");
    site->put_Body(Variant(body));
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto& site : sites) ASSERT_EQ((*site)->Send(), 0);
  const bool all_done = loop.RunUntil(
      [&] {
        for (auto& site : sites) {
          if ((*site)->get_Busy() != kFalse) return false;
        }
        return true;
      },
      90s);
  ASSERT_TRUE(all_done);
  int succeeded = 0;
  for (int i = 0; i < kControls; ++i) {
    ControlSite& site = *sites[i];
    if (site->get_status() == 0) {
      ++succeeded;
    } else {
      ADD_FAILURE() << "control " << i << ": status " << site->get_status() << " "
                    << ToUtf8(site->get_StatusStr());
    }
    EXPECT_EQ(sinks[i]->CountOf("SendComplete"), 1);
  }
  EXPECT_EQ(succeeded, kControls);
  std::printf("%d messages in %.1f s\n", kControls,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace
}  // namespace qv::runtime
