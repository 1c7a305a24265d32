#include "mail/reply_code.hpp"

namespace qv::mail {

Integer ReplyCode(std::u16string_view reply_buffer) {
  if (reply_buffer.size() <= 5) return kNoReply;
  Integer code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const char16_t c = reply_buffer[i];
    if (c < u'0' || c > u'9') return kUnreadableReply;
    code = static_cast<Integer>(code * 10 + (c - u'0'));
  }
  if (reply_buffer[3] == u'-' && WholeReplySize(reply_buffer) == 0) return kNoReply;
  return code;
}

std::size_t WholeReplySize(std::u16string_view reply_buffer) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = reply_buffer.find(u'\n', start);
    if (end == std::u16string_view::npos) return 0;
    const bool continues = end - start >= 4 && reply_buffer[start + 3] == u'-';
    if (!continues) return end + 1;
    start = end + 1;
  }
}

}  // namespace qv::mail
