// One client's whole conversation with a receiving server, for the tests of
// the session and of the server around it: a two-recipient message whose body
// has doubled dots, and the data a store must keep of it (dots undoubled).
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace qv::test_support {

inline const std::string kSinkConversation =
    "HELO client.test\r\n"
    "MAIL FROM: <alice@example.com>\r\n"
    "RCPT TO: <bob@example.com>\r\n"
    "RCPT TO:<carol@example.com>\r\n"
    "DATA\r\n"
    "Subject: dots\r\n"
    "\r\n"
    "..leading dot\r\n"
    "...\r\n"
    "a.b\r\n"
    "\r\n"
    ".\r\n"
    "QUIT\r\n";

inline const std::string kSinkStoredData =
    "Subject: dots\r\n"
    "\r\n"
    ".leading dot\r\n"
    "..\r\n"
    "a.b\r\n"
    "\r\n";

// The reply codes in a block of replies, one per line.
inline std::vector<int> ReplyCodes(const std::string& replies) {
  std::vector<int> codes;
  std::istringstream lines(replies);
  std::string line;
  while (std::getline(lines, line)) codes.push_back(std::stoi(line.substr(0, 3)));
  return codes;
}

}  // namespace qv::test_support
