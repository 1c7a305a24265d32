// Cutting a recipient list: the entries and the separators dropped between them
// give back the list, no entry holds the separator it was cut at, and the
// envelope form of an entry can never end or pad the command line.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/message_text.hpp"
#include "mail/recipient_list.hpp"
#include "qv/core/text.hpp"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool Contains(std::u16string_view text, char16_t c) {
  return text.find(c) != std::u16string_view::npos;
}

void CheckEnvelope(std::u16string_view entry) {
  const qv::String address = qv::mail::EnvelopeAddress(entry);
  for (const char16_t c : address) Check(c >= 0x20 || c == u'\t');
  if (!address.empty()) {
    Check(address.front() != u' ' && address.back() != u' ');
  }
  // Only control characters and outer spaces go: what is left is the middle
  // of the entry without its control characters.
  const qv::String flat = qv::mail::WithoutControlCharacters(entry);
  const std::size_t at = flat.find(address);
  Check(at != qv::String::npos);
  for (std::size_t i = 0; i < at; ++i) Check(flat[i] == u' ');
  for (std::size_t i = at + address.size(); i < flat.size(); ++i) Check(flat[i] == u' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Odd first byte: the rest is UTF-16 units; even: UTF-8 text (most lists).
  qv::String list;
  if (size > 0 && (data[0] & 1) != 0) {
    for (std::size_t i = 1; i + 1 < size; i += 2) {
      list.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
  } else if (size > 0) {
    list = qv::FromUtf8(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  }

  qv::String pending = list;
  qv::String rejoined;
  std::size_t entries = 0;
  while (!pending.empty()) {
    Check(++entries <= list.size() + 1);
    const qv::String before = pending;
    const qv::String entry = qv::mail::CutNextRecipient(pending);
    const char16_t separator = Contains(before, u',') ? u',' : u';';
    Check(!Contains(entry, separator));
    if (separator == u';') Check(!Contains(entry, u','));
    rejoined += entry;
    if (pending.empty() && entry.size() == before.size()) {
      // The last entry: no separator was left in the list.
      Check(entry == before);
      Check(!Contains(entry, u',') && !Contains(entry, u';'));
    } else {
      Check(before.size() == entry.size() + 1 + pending.size());
      Check(before[entry.size()] == separator);
      rejoined += separator;
    }
    Check(before == rejoined.substr(rejoined.size() - (before.size() - pending.size())) + pending);
    CheckEnvelope(entry);
  }
  Check(rejoined == list);
  CheckEnvelope(list);
  return 0;
}
