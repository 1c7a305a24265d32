// The rest of an accepted reply, dropped as it arrives. A wait accepts a reply
// as soon as its code can be read, and TCP may deliver the reply's remainder
// (the end of its line, or further lines of a multi-line reply) later; read as
// the next reply, that remainder would answer the next command.
#pragma once

#include <string_view>

#include "qv/core/types.hpp"

namespace qv::mail {

class ReplyTail {
 public:
  // A wait has accepted the reply at the front of reply_buffer (whose text
  // is then cleared). Whatever of that reply has not yet arrived is dropped
  // from later text; a reply that arrived whole leaves nothing to drop.
  void Accepted(std::u16string_view reply_buffer);
  // Takes arriving text and returns the part that follows the accepted
  // reply's end (all of it when nothing is being dropped).
  std::u16string_view Drop(std::u16string_view arriving);
  void Reset() { dropping_ = false; }
  bool Dropping() const { return dropping_; }

 private:
  // Feeds one character of the reply's current line; false once the reply
  // has ended with it.
  bool Continues(char16_t c);

  bool dropping_ = false;
  // The first characters of the reply's current line, enough to see its
  // fourth: "-" there means another line follows.
  char16_t head_[4] = {};
  std::size_t head_size_ = 0;
};

}  // namespace qv::mail
