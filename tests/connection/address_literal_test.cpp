#include "connection/address_literal.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>

#include <cstring>

namespace qv::connection {
namespace {

TEST(AddressLiteral, FollowsTheMailForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.0.2.1", "[192.0.2.1]"},
      {"2001:db8::1", "[IPv6:2001:db8::1]"},
      {"::ffff:192.0.2.7", "[192.0.2.7]"},  // an IPv4 peer on a dual-stack socket
      {"fe80::1%1", "[IPv6:fe80::1]"},      // the zone means nothing to the server
  };
  for (const auto& [address, literal] : cases) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    ASSERT_EQ(::getaddrinfo(address, nullptr, &hints, &found), 0) << address;
    sockaddr_storage storage{};
    std::memcpy(&storage, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    EXPECT_EQ(AddressLiteral(storage), literal) << address;
  }
}

}  // namespace
}  // namespace qv::connection
