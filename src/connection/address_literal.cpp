#include "address_literal.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace qv::connection {

std::string AddressLiteral(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return "[" + std::string(text) + "]";
  }
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      // An IPv4 address mapped into IPv6 is written in its IPv4 form.
      ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
      return "[" + std::string(text) + "]";
    }
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);  // no zone
    return "[IPv6:" + std::string(text) + "]";
  }
  return {};
}

bool IsIpAddress(const std::string& name) {
  in6_addr v6{};
  in_addr v4{};
  return ::inet_pton(AF_INET, name.c_str(), &v4) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), &v6) == 1;
}

std::string WithoutBrackets(std::string name) {
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    return name.substr(1, name.size() - 2);
  }
  return name;
}

}  // namespace qv::connection
