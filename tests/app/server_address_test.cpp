// The --server value, and the note a well-known port earns when the
// conversation chosen for it is not the one its servers speak.
#include "server_address.hpp"

#include <gtest/gtest.h>

#include "exit_codes.hpp"

namespace qvsmtp {
namespace {

TEST(ServerAddress, AnIpv6AddressTakesAPortOnlyAfterItsBrackets) {
  struct Row {
    const char* text;
    const char* host;  // nullptr: refused with exit 64
    int port;          // 0: none given
  };
  // clang-format off
  // The forms of an IPv6 address; a name with a port, a bad port and a port
  // --port contradicts are the program's own tests.
  for (const Row& row : {Row{"[::1]:465", "::1", 465},
                         Row{"[::1]", "::1", 0},
                         Row{"::1", "::1", 0},  // an IPv6 address without brackets has no port
                         Row{"[::1", nullptr, 0},
                         Row{"[::1]465", nullptr, 0}}) {
    // clang-format on
    SCOPED_TRACE(row.text);
    if (row.host == nullptr) {
      try {
        ParseServerAddress(row.text);
        ADD_FAILURE() << "accepted";
      } catch (const ExitError& e) {
        EXPECT_EQ(e.code(), exit_code::kUsage);
      }
      continue;
    }
    const ServerAddress address = ParseServerAddress(row.text);
    EXPECT_EQ(address.host, row.host);
    EXPECT_EQ(address.port.value_or(0), row.port);
  }
}

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
    if (*row.advice == '\0') {
      EXPECT_EQ(advice, "");
    } else {
      EXPECT_NE(advice.find(row.advice), std::string::npos) << advice;
    }
  }
}

}  // namespace
}  // namespace qvsmtp
