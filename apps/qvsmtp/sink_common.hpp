// Pieces that sink and demo share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qv/testing/sink_store.hpp"
#include "sink/maildir_store.hpp"

namespace qvsmtp {

struct ListenAddress {
  std::string address;
  std::uint16_t port = 0;
};

// "ADDR:PORT", with IPv6 addresses in brackets ("[::1]:2525"). Throws
// ExitError (64) for anything else.
ListenAddress ParseListenAddress(const std::string& text);

// "ADDR:PORT", brackets around an IPv6 address.
std::string HostPort(const std::string& address, std::uint16_t port);

// Throws ExitError (73) naming the folder when it cannot be made a Maildir.
std::unique_ptr<MaildirStore> OpenMaildir(const std::string& dir);

// "N: from <A> to <B>, <C>: SIZE bytes, FILE".
std::string SummaryLine(std::uint64_t number, const qv::testing::StoredMessage& message);

}  // namespace qvsmtp
