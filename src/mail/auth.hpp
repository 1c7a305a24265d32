// The SASL mechanisms of AUTH (RFC 4954): which one to use with a server, and
// what the client says at each step. Free of I/O; the AUTH steps of the
// session write what these return.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "qv/core/types.hpp"

namespace qv::mail {

enum class AuthMechanism { kPlain, kLogin, kXoauth2, kOauthBearer };

// "PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER".
std::u16string_view MechanismName(AuthMechanism mechanism);
// The mechanism a name gives (any letter case); nullopt for any other name.
std::optional<AuthMechanism> ParseMechanism(std::u16string_view name);

// The mechanisms the server's capabilities offer, in capitals, from its AUTH
// line (and the older "AUTH=" form some servers still send).
std::vector<String> OfferedMechanisms(const std::vector<String>& capabilities);

// The mechanism to use: forced when given (nullopt when the server does not
// offer it), otherwise the token mechanisms when a token is given, else PLAIN,
// else LOGIN, the first the server offers.
std::optional<AuthMechanism> ChooseMechanism(std::optional<AuthMechanism> forced,
                                             const std::vector<String>& offered, bool token);

struct AuthCredentials {
  std::u16string_view user;
  std::u16string_view secret;  // the password, or the bearer token
  std::u16string_view host;    // the server as named, for OAUTHBEARER
  Long port = 0;
};

// What the client writes at a step of the exchange, without the line end:
// step 0 is the AUTH command itself (with the initial response where the
// mechanism has one), step n answers the server's nth 334. An OAuth error
// challenge gets the answer the mechanism
// prescribes (XOAUTH2 an empty line, OAUTHBEARER a single ^A), so the server
// sends its final refusal. nullopt: this step has nothing to say (a
// challenge the mechanism does not expect), and the exchange is cancelled.
std::optional<String> AuthLine(AuthMechanism mechanism, int step,
                               const AuthCredentials& credentials);

// How the line is shown (DebugMessage, traces): the command without its
// secret part, "****" for any line that carries one.
String ShownAuthLine(AuthMechanism mechanism, int step);

}  // namespace qv::mail
