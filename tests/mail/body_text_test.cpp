// The body encoded part by part for the socket must be exactly the UTF-8 of
// the body the message step composes whole, wherever the parts are cut.
#include "mail/body_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
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

// Lines of every length up to 40, so that each line end, dot and lone break
// falls at every position of a block of text taken in whole.
String LinesOfEveryLength(std::u16string_view end_of_line, std::u16string_view start) {
  String out;
  for (int length = 0; length <= 40; ++length) {
    out += start;
    out += String(static_cast<std::size_t>(length), u'x');
    out += end_of_line;
  }
  return out;
}

// Text drawn from the characters that need work, and ordinary ones.
String Scrambled(std::size_t size) {
  static constexpr char16_t kUnits[] = {u'a', u'b', u'\r', u'\n', u'.', u'\u00e9', u' '};
  String out;
  std::uint32_t seed = 2463534242u;
  while (out.size() < size) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    out += kUnits[seed % std::size(kUnits)];
  }
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
      LinesOfEveryLength(u"\r\n", u""),
      LinesOfEveryLength(u"\r\n", u"."),
      LinesOfEveryLength(u"\n", u"."),
      LinesOfEveryLength(u"\r", u""),
      LinesOfEveryLength(u"\r\n", u"\u00e9"),
      Scrambled(5000),
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
