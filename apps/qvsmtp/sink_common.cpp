#include "sink_common.hpp"

#include <charconv>

#include "exit_codes.hpp"
#include "narration.hpp"

namespace qvsmtp {

ListenAddress ParseListenAddress(const std::string& text) {
  const auto bad = [&text](const std::string& why) {
    return ExitError(exit_code::kUsage, "--listen: " + why + ": \"" + Printable(text) + "\"");
  };
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) throw bad("expected ADDR:PORT");
  ListenAddress result;
  result.address = text.substr(0, colon);
  if (result.address.size() >= 2 && result.address.front() == '[' && result.address.back() == ']') {
    result.address = result.address.substr(1, result.address.size() - 2);
  } else if (result.address.find(':') != std::string::npos) {
    throw bad("an IPv6 address goes in brackets, as [::1]:2525");
  }
  if (result.address.empty()) throw bad("no address");
  const std::string port = text.substr(colon + 1);
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) {
    throw bad("the port is not a number from 0 to 65535");
  }
  result.port = static_cast<std::uint16_t>(value);
  return result;
}

std::string HostPort(const std::string& address, std::uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::unique_ptr<MaildirStore> OpenMaildir(const std::string& dir) {
  try {
    return std::make_unique<MaildirStore>(dir);
  } catch (const std::filesystem::filesystem_error& e) {
    throw ExitError(exit_code::kCantCreate,
                    "cannot use " + dir + " as a Maildir: " + e.code().message());
  }
}

std::string SummaryLine(std::uint64_t number, const qv::testing::StoredMessage& message) {
  std::string line =
      std::to_string(number) + ": from <" + Printable(message.envelope.mail_from) + "> to ";
  for (std::size_t i = 0; i < message.envelope.recipients.size(); ++i) {
    if (i > 0) line += ", ";
    line += "<" + Printable(message.envelope.recipients[i]) + ">";
  }
  line += ": " + std::to_string(message.size) + " bytes, " + Printable(message.location);
  return line;
}

}  // namespace qvsmtp
