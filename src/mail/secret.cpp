#include "mail/secret.hpp"

#include <string.h>  // explicit_bzero: a write the compiler may not drop

namespace qv::mail {

void Cleanse(String& text) {
  explicit_bzero(text.data(), text.capacity() * sizeof(char16_t));
  text.clear();
}

void Cleanse(std::string& bytes) {
  explicit_bzero(bytes.data(), bytes.capacity());
  bytes.clear();
}

void Secret::Wipe() { Cleanse(value_); }

void Secret::Set(std::u16string_view value) {
  Wipe();
  // Reserved first, so the copy is made once, in a buffer this class wipes.
  value_.reserve(value.size());
  value_.assign(value);
}

}  // namespace qv::mail
