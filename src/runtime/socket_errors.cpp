#include "socket_errors.hpp"

#include <cctype>

#include <asio/error.hpp>

#include "qv/runtime/asio_socket.hpp"

namespace qv::runtime::detail {

SocketFailure DescribeSocketError(const std::error_code& ec, const std::string& host) {
  namespace e = asio::error;
  if (ec == e::connection_refused) return {socket_error::kConnectionRefused, "Connection refused"};
  if (ec == e::connection_reset) {
    return {socket_error::kConnectionReset, "Connection reset by peer"};
  }
  if (ec == e::timed_out) return {socket_error::kTimedOut, "Connection timed out"};
  if (ec == e::host_not_found) return {socket_error::kHostNotFound, "Host not found: " + host};
  if (ec == e::host_not_found_try_again) {
    return {socket_error::kTryAgain,
            "Host not found: " + host + " (the name service did not answer)"};
  }
  if (ec == e::no_data) return {socket_error::kNoData, "Host has no address: " + host};
  if (ec == e::network_unreachable) {
    return {socket_error::kNetworkUnreachable, "Network is unreachable"};
  }
  if (ec == e::host_unreachable) return {socket_error::kHostUnreachable, "No route to host"};
  if (ec == e::connection_aborted) {
    return {socket_error::kConnectionAborted, "Connection aborted"};
  }
  if (ec == e::broken_pipe) return {socket_error::kConnectionShutDown, "Connection closed by peer"};
  if (ec == e::address_family_not_supported) {
    return {socket_error::kAddressFamilyNotSupported, "Address family not supported"};
  }
  std::string text = ec.message();
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return {static_cast<Long>(ec.value()), text};
}

}  // namespace qv::runtime::detail
