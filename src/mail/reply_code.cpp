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
  return code;
}

}  // namespace qv::mail
