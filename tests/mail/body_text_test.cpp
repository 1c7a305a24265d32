// The body encoded part by part for the socket must be exactly the UTF-8 of
// the body the message step composes whole, wherever the parts are cut.
#include "mail/body_text.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mail/message_text.hpp"
#include "qv/core/text.hpp"

namespace qv::mail {
namespace {

std::string Encoded(const String& body, std::size_t room) {
  BodyText text(std::make_shared<const String>(body));
  std::string out;
  std::vector<char> part(room);
  while (const std::size_t n = text.Encode(part.data(), room)) {
    EXPECT_LE(n, room);
    out.append(part.data(), n);
  }
  EXPECT_EQ(text.Remaining(), 0u);
  return out;
}

String Repeated(std::u16string_view piece, int times) {
  String out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(BodyText, IsTheUtf8OfTheWholeBodyWhereverThePartsAreCut) {
  const String ascii = Repeated(u"The quick brown fox jumps over the lazy dog. ", 40);
  const std::vector<String> bodies = {
      u"x",
      u".",
      u"Hello",
      u"\r\n.\r\n",
      u".leading\n.dot\r.after cr\r\n..two",
      u"bare\rCR\nand LF\r\n\r\nmixed\n\r",
      u"caf\u00e9 \u20ac12 \U0001F389 stra\u00dfe",
      String(u"lone ") + char16_t(0xD800) + u" high, lone " + char16_t(0xDC00) + u" low, end " +
          char16_t(0xD83C),
      ascii + u"\r\n." + ascii + u"\u00e9\r" + ascii + u"\n" + ascii,
      Repeated(u"0123456789abcde\r", 100),
      Repeated(u"\U0001F389.\r\n", 200),
  };
  for (const String& body : bodies) {
    String whole;
    AppendTransparentBody(body, whole);
    const std::string expected = ToUtf8(whole + u"\r\n");
    EXPECT_EQ(ToUtf8(BodyText(std::make_shared<const String>(body)).Whole()), expected);
    for (std::size_t room : {OutgoingText::kMinRoom, std::size_t{65}, std::size_t{71},
                             std::size_t{100}, std::size_t{4096}, std::size_t{1} << 20}) {
      EXPECT_EQ(Encoded(body, room), expected) << "room " << room << ", body " << ToUtf8(body);
    }
  }
}

}  // namespace
}  // namespace qv::mail
