#include "server_address.hpp"

#include <charconv>

#include "exit_codes.hpp"
#include "narration.hpp"

namespace qvsmtp {

namespace {

std::uint16_t ParsePort(const std::string& text, const std::string& whole) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value == 0 || value > 65535) {
    throw ExitError(exit_code::kUsage,
                    "--server: not a port from 1 to 65535 in \"" + Printable(whole) + "\"");
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

ServerAddress ParseServerAddress(const std::string& text) {
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) {
      throw ExitError(exit_code::kUsage,
                      "--server: \"[\" without \"]\" in \"" + Printable(text) + "\"");
    }
    ServerAddress address{text.substr(1, close - 1), std::nullopt};
    const std::string rest = text.substr(close + 1);
    if (rest.empty()) return address;
    if (!rest.starts_with(':')) {
      throw ExitError(exit_code::kUsage,
                      "--server: expected \":PORT\" after \"]\" in \"" + Printable(text) + "\"");
    }
    address.port = ParsePort(rest.substr(1), text);
    return address;
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    return {text, std::nullopt};
  }
  return {text.substr(0, colon), ParsePort(text.substr(colon + 1), text)};
}

std::string DescribeServer(const std::string& host, std::uint16_t port) {
  return host + " port " + std::to_string(port);
}

std::string PortAdvice(qv::SmtpProtocol protocol, std::uint16_t port) {
  const bool implicit = protocol == qv::SmtpProtocol::kImplicitTls;
  if (port == 465 && !implicit) {
    return "servers on port 465 speak TLS from the first byte and greet only after it: "
           "add --tls implicit, or this send waits for a greeting that never comes";
  }
  if ((port == 25 || port == 587) && implicit) {
    return "servers on port " + std::to_string(port) +
           " greet in plain text and start TLS when asked: for them, --tls starttls";
  }
  if (port == 587 && protocol != qv::SmtpProtocol::kStartTls) {
    return "servers on port 587 take mail for submission after STARTTLS: add --tls starttls";
  }
  return {};
}

}  // namespace qvsmtp
