// A password or token held for the conversation. Its characters are
// overwritten when it is replaced or destroyed, so a secret does not linger
// in freed memory; nothing here ever shows it.
#pragma once

#include <string_view>

#include "qv/core/types.hpp"

namespace qv::mail {

class Secret {
 public:
  Secret() = default;
  ~Secret() { Wipe(); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  void Set(std::u16string_view value);
  void Clear() { Wipe(); }
  bool Empty() const { return value_.empty(); }
  std::u16string_view View() const { return value_; }

 private:
  void Wipe();
  String value_;
};

// Overwrites every character of text, then empties it.
void Cleanse(String& text);
void Cleanse(std::string& bytes);

}  // namespace qv::mail
