// The body of a message in its transparent wire form, made from text that may
// arrive in pieces split anywhere: every bare CR, bare LF or CR LF becomes
// CR LF, and a line that begins with "." gets a second one, so that no body
// line can end the data early or lose its dot. The control encodes its Body
// with it; a SendBody handler that writes a body itself through SendData or
// SendDataUtf8 encodes with it too, so that its body reaches the server as the
// control's own would.
//
// An encoder is a small value (two flags) with no thread of its own; one body
// goes through one encoder, in one encoding (UTF-16 or UTF-8 bytes). Nothing
// here throws but std::bad_alloc from a growing string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "qv/export.hpp"

namespace qv {

class QV_EXPORT BodyEncoder {
 public:
  // Appends the wire form of the next piece of UTF-16 text.
  void Encode(std::u16string_view text, std::u16string& out);
  // Appends the wire form of the next piece of UTF-8 text (bytes; a piece may
  // end inside a character).
  void Encode(std::string_view text, std::string& out);
  // Writes the wire form of the next piece of UTF-8 text at out, which has
  // room for MaxEncodedSize(text.size()) bytes, and returns the end of what
  // it wrote.
  char* Encode(std::string_view text, char* out);

  // Starts a new body. Nothing is ever held back, so nothing is left to write.
  void Finish() {
    line_start_ = true;
    after_cr_ = false;
  }

  // No byte or unit becomes more than two.
  static constexpr std::size_t MaxEncodedSize(std::size_t size) { return 2 * size; }

 private:
  bool line_start_ = true;
  bool after_cr_ = false;
};

}  // namespace qv
