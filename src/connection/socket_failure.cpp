#include "socket_failure.hpp"

#include <netdb.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "qv/host/socket.hpp"

namespace qv::connection {

SocketFailure SystemFailure(int error_number) {
  switch (error_number) {
    case ECONNREFUSED:
      return {socket_error::kConnectionRefused, "Connection refused"};
    case ECONNRESET:
      return {socket_error::kConnectionReset, "Connection reset by peer"};
    case ETIMEDOUT:
      return {socket_error::kTimedOut, "Connection timed out"};
    case ENETUNREACH:
      return {socket_error::kNetworkUnreachable, "Network is unreachable"};
    case EHOSTUNREACH:
      return {socket_error::kHostUnreachable, "No route to host"};
    case ECONNABORTED:
      return {socket_error::kConnectionAborted, "Connection aborted"};
    case EPIPE:
      return {socket_error::kConnectionShutDown, "Connection closed by peer"};
    case EAFNOSUPPORT:
      return {socket_error::kAddressFamilyNotSupported, "Address family not supported"};
    case EACCES:
    case EPERM:
      return {socket_error::kPermissionDenied, "Permission denied"};
    case EADDRINUSE:
      return {socket_error::kAddressInUse, "Address already in use"};
    case EADDRNOTAVAIL:
      return {socket_error::kAddressNotAvailable, "Address not available"};
    case ENOBUFS:
    case ENOMEM:
      return {socket_error::kNoBufferSpace, "No buffer space available"};
    default:
      break;
  }
  std::string text = std::strerror(error_number);
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return {static_cast<Long>(error_number), text};
}

SocketFailure ResolverFailure(int eai_code, int system_error, const std::string& host) {
  switch (eai_code) {
#ifdef EAI_NODATA
    case EAI_NODATA:
      return {socket_error::kNoData, "Host has no address: " + host};
#endif
    case EAI_NONAME:
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
    case EAI_FAIL:
      return {socket_error::kHostNotFound, "Host not found: " + host};
    case EAI_AGAIN:
      return {socket_error::kTryAgain,
              "Host not found: " + host + " (the name service did not answer)"};
    case EAI_SYSTEM:
      return SystemFailure(system_error);
    case EAI_MEMORY:
      return {socket_error::kNoBufferSpace, "No buffer space available"};
    default:
      return {socket_error::kHostNotFound,
              "Host not found: " + host + " (" + ::gai_strerror(eai_code) + ")"};
  }
}

}  // namespace qv::connection
