#include "mail/auth.hpp"

#include <algorithm>

#include "mail/message_text.hpp"
#include "mail/secret.hpp"
#include "qv/core/text.hpp"

namespace qv::mail {
namespace {

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

bool Offers(const std::vector<String>& offered, AuthMechanism mechanism) {
  return std::find(offered.begin(), offered.end(), MechanismName(mechanism)) != offered.end();
}

String Base64Of(const std::string& bytes) {
  String out;
  AppendBase64(bytes, out);
  return out;
}

}  // namespace

std::u16string_view MechanismName(AuthMechanism mechanism) {
  switch (mechanism) {
    case AuthMechanism::kPlain:
      return u"PLAIN";
    case AuthMechanism::kLogin:
      return u"LOGIN";
    case AuthMechanism::kXoauth2:
      return u"XOAUTH2";
    case AuthMechanism::kOauthBearer:
      return u"OAUTHBEARER";
  }
  return u"";
}

std::optional<AuthMechanism> ParseMechanism(std::u16string_view name) {
  String upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(), Upper);
  for (const AuthMechanism m : {AuthMechanism::kPlain, AuthMechanism::kLogin,
                                AuthMechanism::kXoauth2, AuthMechanism::kOauthBearer}) {
    if (upper == MechanismName(m)) return m;
  }
  return std::nullopt;
}

std::vector<String> OfferedMechanisms(const std::vector<String>& capabilities) {
  std::vector<String> offered;
  for (const String& entry : capabilities) {
    std::u16string_view rest;
    if (entry.rfind(u"AUTH ", 0) == 0) {
      rest = std::u16string_view(entry).substr(5);
    } else if (entry.rfind(u"AUTH=", 0) == 0) {
      rest = std::u16string_view(entry).substr(5);
    } else {
      continue;
    }
    while (!rest.empty()) {
      const std::size_t end = std::min(rest.find(u' '), rest.size());
      String name(rest.substr(0, end));
      std::transform(name.begin(), name.end(), name.begin(), Upper);
      if (!name.empty() && std::find(offered.begin(), offered.end(), name) == offered.end()) {
        offered.push_back(std::move(name));
      }
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
  }
  return offered;
}

std::optional<AuthMechanism> ChooseMechanism(std::optional<AuthMechanism> forced,
                                             const std::vector<String>& offered, bool token) {
  if (forced) return Offers(offered, *forced) ? forced : std::nullopt;
  const auto order = token ? std::vector{AuthMechanism::kXoauth2, AuthMechanism::kOauthBearer}
                           : std::vector{AuthMechanism::kPlain, AuthMechanism::kLogin};
  for (const AuthMechanism m : order) {
    if (Offers(offered, m)) return m;
  }
  return std::nullopt;
}

std::optional<String> AuthLine(AuthMechanism mechanism, int step,
                               const AuthCredentials& credentials) {
  const String name(MechanismName(mechanism));
  std::string bytes;
  std::optional<String> line;
  switch (mechanism) {
    case AuthMechanism::kPlain:  // RFC 4616: no authorization identity
      if (step == 0) {
        bytes = '\0' + ToUtf8(credentials.user) + '\0' + ToUtf8(credentials.secret);
        line = u"AUTH PLAIN " + Base64Of(bytes);
      }
      break;
    case AuthMechanism::kLogin:  // the user name, then the password, each asked for
      if (step == 0) line = u"AUTH LOGIN";
      if (step == 1) bytes = ToUtf8(credentials.user);
      if (step == 2) bytes = ToUtf8(credentials.secret);
      if (step == 1 || step == 2) line = Base64Of(bytes);
      break;
    case AuthMechanism::kXoauth2:
      if (step == 0) {
        bytes = "user=" + ToUtf8(credentials.user) + "\x01" + "auth=Bearer " +
                ToUtf8(credentials.secret) + "\x01\x01";
        line = u"AUTH XOAUTH2 " + Base64Of(bytes);
      }
      if (step == 1) line = String();  // after the error challenge
      break;
    case AuthMechanism::kOauthBearer:  // RFC 7628
      if (step == 0) {
        bytes = "n,a=" + ToUtf8(credentials.user) + ",\x01" + "host=" + ToUtf8(credentials.host) +
                "\x01" + "port=" + std::to_string(credentials.port) + "\x01" + "auth=Bearer " +
                ToUtf8(credentials.secret) + "\x01\x01";
        line = u"AUTH OAUTHBEARER " + Base64Of(bytes);
      }
      if (step == 1) line = u"AQ==";  // a single ^A after the error challenge
      break;
  }
  Cleanse(bytes);
  return line;
}

String ShownAuthLine(AuthMechanism mechanism, int step) {
  if (step > 0) return u"****";
  if (mechanism == AuthMechanism::kLogin) return u"AUTH LOGIN";
  return u"AUTH " + String(MechanismName(mechanism)) + u" ****";
}

}  // namespace qv::mail
