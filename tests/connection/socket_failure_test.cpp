#include "connection/socket_failure.hpp"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <string>

#include "qv/host/socket.hpp"

namespace qv::connection {
namespace {

struct Case {
  const char* name;
  SocketFailure failure;
  Long number;
  std::string description;
};

TEST(SocketFailure, IsReportedAsAPlainSentenceWithItsNumber) {
  const std::string host = "mail.example.invalid";
  const Case cases[] = {
      {"refused", SystemFailure(ECONNREFUSED), socket_error::kConnectionRefused,
       "Connection refused"},
      {"reset", SystemFailure(ECONNRESET), socket_error::kConnectionReset,
       "Connection reset by peer"},
      {"timed out", SystemFailure(ETIMEDOUT), socket_error::kTimedOut, "Connection timed out"},
      {"network", SystemFailure(ENETUNREACH), socket_error::kNetworkUnreachable,
       "Network is unreachable"},
      {"host", SystemFailure(EHOSTUNREACH), socket_error::kHostUnreachable, "No route to host"},
      {"aborted", SystemFailure(ECONNABORTED), socket_error::kConnectionAborted,
       "Connection aborted"},
      {"broken pipe", SystemFailure(EPIPE), socket_error::kConnectionShutDown,
       "Connection closed by peer"},
      {"family", SystemFailure(EAFNOSUPPORT), socket_error::kAddressFamilyNotSupported,
       "Address family not supported"},
      // Failures without a number of their own keep the system's, capitalised.
      {"other", SystemFailure(EMFILE), EMFILE, "Too many open files"},
      {"unknown name", ResolverFailure(EAI_NONAME, 0, host), socket_error::kHostNotFound,
       "Host not found: mail.example.invalid"},
      {"no address", ResolverFailure(EAI_NODATA, 0, host), socket_error::kNoData,
       "Host has no address: mail.example.invalid"},
      {"no answer", ResolverFailure(EAI_AGAIN, 0, host), socket_error::kTryAgain,
       "Host not found: mail.example.invalid (the name service did not answer)"},
      {"resolver's system call", ResolverFailure(EAI_SYSTEM, ECONNREFUSED, host),
       socket_error::kConnectionRefused, "Connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.failure.number, c.number);
    EXPECT_EQ(c.failure.description, c.description);
  }
}

}  // namespace
}  // namespace qv::connection
