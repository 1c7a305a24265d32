#include "mail/reply_tail.hpp"

namespace qv::mail {

bool ReplyTail::Continues(char16_t c) {
  if (c != u'\n') {
    if (head_size_ < 4) head_[head_size_++] = c;
    return true;
  }
  const bool more_lines = head_size_ == 4 && head_[3] == u'-';
  head_size_ = 0;
  return more_lines;
}

void ReplyTail::Accepted(std::u16string_view reply_buffer) {
  dropping_ = true;
  head_size_ = 0;
  for (const char16_t c : reply_buffer) {
    if (!Continues(c)) {
      // Arrived whole; what followed it in the buffer goes with the buffer.
      dropping_ = false;
      return;
    }
  }
}

std::u16string_view ReplyTail::Drop(std::u16string_view arriving) {
  std::size_t i = 0;
  while (dropping_ && i < arriving.size()) {
    if (!Continues(arriving[i++])) dropping_ = false;
  }
  return arriving.substr(i);
}

}  // namespace qv::mail
