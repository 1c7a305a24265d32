// The note a well-known port earns when the conversation chosen for it is
// not the one its servers speak.
#include "server_address.hpp"

#include <gtest/gtest.h>

namespace qvsmtp {
namespace {

TEST(ServerAddress, AWellKnownPortNotesTheConversationItsServersSpeak) {
  using enum qv::SmtpProtocol;
  struct Row {
    qv::SmtpProtocol protocol;
    std::uint16_t port;
    const char* advice;  // what the note suggests; "" for none
  };
  for (const Row& row :
       {Row{kImplicitTls, 465, ""}, Row{kStartTls, 465, "--tls implicit"},
        Row{kHelo, 465, "--tls implicit"}, Row{kStartTls, 587, ""},
        Row{kImplicitTls, 587, "--tls starttls"}, Row{kEsmtp, 587, "--tls starttls"},
        Row{kImplicitTls, 25, "--tls starttls"}, Row{kHelo, 25, ""}, Row{kStartTls, 25, ""},
        Row{kImplicitTls, 2465, ""}}) {
    SCOPED_TRACE(std::to_string(row.port) + " " + std::to_string(static_cast<int>(row.protocol)));
    const std::string advice = PortAdvice(row.protocol, row.port);
    EXPECT_EQ(advice.empty(), *row.advice == '\0') << advice;
    EXPECT_NE(advice.find(row.advice), std::string::npos) << advice;
  }
}

}  // namespace
}  // namespace qvsmtp
