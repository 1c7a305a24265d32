#include "mail/message_id.hpp"

#include <sys/random.h>

#include <array>
#include <cstdint>
#include <random>

namespace qv::mail {
namespace {

bool IsAtomCharacter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'-' || c == u'.';
}

void FillRandom(std::array<std::uint8_t, 16>& bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled == bytes.size()) return;
  // getrandom only fails on kernels older than 3.17; random_device reads the
  // same pool there. It is made only then: making one costs more than the
  // rest of a message's header.
  std::random_device device;
  for (; filled < bytes.size(); ++filled) bytes[filled] = static_cast<std::uint8_t>(device());
}

}  // namespace

String SenderDomain(std::u16string_view mail_from) {
  const std::size_t at = mail_from.rfind(u'@');
  if (at == std::u16string_view::npos) return {};
  String domain;
  for (const char16_t c : mail_from.substr(at + 1)) {
    if (!IsAtomCharacter(c)) break;  // ">" or a space ends an address
    domain.push_back(c);
  }
  while (!domain.empty() && domain.front() == u'.') domain.erase(domain.begin());
  while (!domain.empty() && domain.back() == u'.') domain.pop_back();
  return domain;
}

String NewMessageId(std::u16string_view mail_from, std::u16string_view fallback_domain) {
  std::array<std::uint8_t, 16> bytes{};
  FillRandom(bytes);
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  String id;
  for (const std::uint8_t b : bytes) {
    id.push_back(kHex[b >> 4]);
    id.push_back(kHex[b & 15]);
  }
  String domain = SenderDomain(mail_from);
  if (domain.empty()) domain = CleanMessageId(fallback_domain);
  if (domain.empty()) domain = u"localhost";
  return id + u"@" + domain;
}

String CleanMessageId(std::u16string_view id) {
  String clean;
  for (const char16_t c : id) {
    if (c > u' ' && c != 0x7F && c != u'<' && c != u'>') clean.push_back(c);
  }
  return clean;
}

}  // namespace qv::mail
