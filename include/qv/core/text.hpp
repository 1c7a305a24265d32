// Conversions between String (UTF-16) and UTF-8 bytes.
#pragma once

#include <string>
#include <string_view>

#include "qv/core/types.hpp"
#include "qv/export.hpp"

namespace qv {

// UTF-16 to UTF-8. A lone surrogate cannot be encoded and becomes U+FFFD.
QV_EXPORT std::string ToUtf8(std::u16string_view text);

// Appends the UTF-8 form of text to out (no intermediate copy).
QV_EXPORT void AppendUtf8(std::u16string_view text, std::string& out);

// UTF-8 to UTF-16. A byte that is not part of a valid sequence (overlong forms,
// surrogates and values above U+10FFFF included) becomes the character of that
// byte's value, so no input is ever lost or refused.
QV_EXPORT String FromUtf8(std::string_view bytes);

// The same decoding for bytes that arrive in pieces: an incomplete sequence at
// the end of a piece is held back until the next piece completes or breaks it.
class QV_EXPORT Utf8StreamDecoder {
 public:
  // Decodes bytes, appending the characters to out.
  void Decode(std::string_view bytes, String& out);
  // Ends the stream: held-back bytes become characters of their byte values.
  void Flush(String& out);
  // Number of bytes held back from the last piece (0 to 3).
  std::size_t pending() const { return pending_size_; }

 private:
  unsigned char pending_[4] = {};
  std::size_t pending_size_ = 0;
};

}  // namespace qv
