#include "mail/recipient_list.hpp"

#include "mail/message_text.hpp"

namespace qv::mail {

String CutNextRecipient(String& pending) {
  std::size_t separator = pending.find(u',');
  if (separator == String::npos) separator = pending.find(u';');
  String entry;
  if (separator == String::npos) {
    entry.swap(pending);
  } else {
    entry.assign(pending, 0, separator);
    pending.erase(0, separator + 1);
  }
  return entry;
}

String EnvelopeAddress(std::u16string_view entry) {
  const String address = WithoutControlCharacters(entry);
  const std::size_t first = address.find_first_not_of(u' ');
  if (first == String::npos) return String();
  const std::size_t last = address.find_last_not_of(u' ');
  return address.substr(first, last - first + 1);
}

}  // namespace qv::mail
