// The body in quoted-printable (RFC 2045 6.7), for a server that takes no
// 8-bit data and for a body whose control characters no 7bit or 8bit body may
// carry. The encoder takes the body already in its wire form (UTF-8, CR LF
// line ends, a leading "." of a line doubled) and gives it back in the same
// wire form, a piece at a time as a host hands it over, so a long body is
// never held whole. It does no I/O and throws nothing but std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv::mail {

class QuotedPrintableEncoder {
 public:
  // Appends the encoded form of the next piece of wire-form input. Pieces
  // may be cut anywhere: inside a CR LF, a UTF-8 sequence or a doubled dot.
  // A byte that decides nothing yet (a CR, a space or tab, a line's first
  // dot) is held back until the next one shows what it is.
  void Encode(std::string_view piece, std::string& out);
  // The end of the input: appends what is held back (a trailing space or tab
  // encoded, since the line end that follows the body would make it
  // trailing) and makes the encoder ready for a new body. The output ends
  // where the input ends: no line break is added.
  void Finish(std::string& out);

 private:
  void Put(unsigned char byte, std::string& out);
  void PutLiteral(unsigned char byte, std::string& out);
  void PutEncoded(unsigned char byte, std::size_t room, std::string& out);
  void PutHeldBlankLiteral(std::string& out);
  void SoftBreakFor(std::size_t room, std::string& out);

  std::size_t column_ = 0;   // characters on the current output line
  bool line_start_ = true;   // the next input byte starts a line
  bool dot_held_ = false;    // a line's first "." whose partner has not come
  bool cr_held_ = false;     // a CR whose LF has not come
  unsigned char blank_ = 0;  // a held space or tab, or 0
};

// Whether a body must go quoted-printable whatever the server accepts: it
// holds a NUL, or a line longer than the 998 octets a 7bit or 8bit body
// allows (counted in UTF-8, a leading dot counted twice as it is sent); RFC
// 2045 2.7 and 2.8 allow neither. Other control characters are allowed, and
// go as they always have. CR and LF in any combination are line ends, as the
// wire form makes them.
bool NeedsQuotedPrintable(std::u16string_view text);

}  // namespace qv::mail
