// One client's whole conversation with a receiving server, for the tests of
// the session and of the server around it: a two-recipient message whose body
// has doubled dots, and the data a store must keep of it (dots undoubled).
#pragma once

#include <string>

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

}  // namespace qv::test_support
