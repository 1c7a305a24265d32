#include "socket_errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include <asio/error.hpp>

#include "qv/runtime/asio_socket.hpp"

namespace qv::runtime::detail {
namespace {

struct Case {
  std::error_code error;
  Long number;
  std::string description;
};

TEST(SocketErrors, AreReportedAsPlainSentencesWithTheirNumbers) {
  const Case cases[] = {
      {asio::error::connection_refused, socket_error::kConnectionRefused, "Connection refused"},
      {asio::error::connection_reset, socket_error::kConnectionReset, "Connection reset by peer"},
      {asio::error::timed_out, socket_error::kTimedOut, "Connection timed out"},
      {asio::error::host_not_found, socket_error::kHostNotFound,
       "Host not found: mail.example.invalid"},
      {asio::error::host_not_found_try_again, socket_error::kTryAgain,
       "Host not found: mail.example.invalid (the name service did not answer)"},
      {asio::error::no_data, socket_error::kNoData, "Host has no address: mail.example.invalid"},
      {asio::error::network_unreachable, socket_error::kNetworkUnreachable,
       "Network is unreachable"},
      {asio::error::host_unreachable, socket_error::kHostUnreachable, "No route to host"},
      {asio::error::connection_aborted, socket_error::kConnectionAborted, "Connection aborted"},
      {asio::error::broken_pipe, socket_error::kConnectionShutDown, "Connection closed by peer"},
      {asio::error::address_family_not_supported, socket_error::kAddressFamilyNotSupported,
       "Address family not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error.message());
    const SocketFailure failure = DescribeSocketError(c.error, "mail.example.invalid");
    EXPECT_EQ(failure.number, c.number);
    EXPECT_EQ(failure.description, c.description);
  }
}

TEST(SocketErrors, OthersKeepTheSystemsNumberAndWordingCapitalised) {
  const SocketFailure failure =
      DescribeSocketError(std::error_code(EMFILE, std::system_category()), "h");
  EXPECT_EQ(failure.number, EMFILE);
  EXPECT_EQ(failure.description, "Too many open files");
}

}  // namespace
}  // namespace qv::runtime::detail
