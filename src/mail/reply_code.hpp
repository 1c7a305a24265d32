// Reading the server's reply code from the front of the reply buffer.
#pragma once

#include <string_view>

#include "qv/core/types.hpp"

namespace qv::mail {

// A buffer of 5 characters or fewer holds no reply yet: "250 OK" counts, "250"
// CR LF does not.
inline constexpr Integer kNoReply = 0;
// The first three characters are not a decimal number: no wait accepts it.
inline constexpr Integer kUnreadableReply = -1;

// The code of the reply at the front of reply_buffer: the first three
// characters as a decimal number. A reply whose first line continues (its
// fourth character is "-") counts only once its last line (a line whose
// fourth character is not "-") has arrived whole, line end included: a
// client must not speak before the server has finished.
Integer ReplyCode(std::u16string_view reply_buffer);

// How many characters the reply at the front takes, through the line end of
// its last line; 0 while that line has not arrived whole.
std::size_t WholeReplySize(std::u16string_view reply_buffer);

}  // namespace qv::mail
