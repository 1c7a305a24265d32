// What the server keeps of the encoded body (one dot of each line removed),
// decoded, must be what it would have kept of the body itself, wherever the
// body is cut into pieces; and every line sent must be one the server and a
// decoder read as meant: short, without a lone leading dot or trailing blank.
#include "mail/quoted_printable.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qv/core/types.hpp"

namespace qv::mail {
namespace {

using namespace std::string_literals;

// The input cut at cut, and the rest in pieces of size step.
std::string Encoded(std::string_view input, std::size_t cut, std::size_t step) {
  QuotedPrintableEncoder encoder;
  std::string out;
  encoder.Encode(input.substr(0, cut), out);
  for (std::size_t at = cut; at < input.size(); at += step)
    encoder.Encode(input.substr(at, step), out);
  encoder.Finish(out);
  return out;
}

std::string Unstuffed(const std::string& wire) {
  std::string out;
  for (std::size_t i = 0; i < wire.size(); ++i) {
    const bool line_start = i == 0 || (i >= 2 && wire.compare(i - 2, 2, "\r\n") == 0);
    if (wire[i] != '.' || !line_start) out += wire[i];
  }
  return out;
}

std::string Decoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
    } else if (text.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

void ExpectLinesReadAsMeant(const std::string& wire) {
  for (std::size_t start = 0, end = 0; start <= wire.size(); start = end + 2) {
    end = std::min(wire.find("\r\n", start), wire.size());
    const std::string line = wire.substr(start, end - start);
    SCOPED_TRACE(line);
    EXPECT_LE(line.size(), 76u);
    EXPECT_TRUE(line.empty() || line[0] != '.' || line.compare(0, 2, "..") == 0);
    EXPECT_TRUE(line.empty() || (line.back() != ' ' && line.back() != '\t'));
    for (std::size_t i = 0; i < line.size(); ++i) {
      EXPECT_TRUE(line[i] == '\t' || (line[i] >= ' ' && line[i] <= '~'));
      if (line[i] != '=' || (i + 1 == line.size() && end < wire.size())) continue;
      const std::string hex = line.substr(i + 1, 2);
      EXPECT_TRUE(hex.size() == 2 && hex.find_first_not_of("0123456789ABCDEF") == hex.npos) << i;
    }
  }
}

TEST(QuotedPrintable, DecodesToTheBodyWhereverItIsCut) {
  std::string dots_at_breaks = "x";
  for (int i = 0; i < 300; ++i) dots_at_breaks += i % 7 < 5 ? '.' : 'x';
  std::string long_mixed;
  for (int i = 0; i < 40; ++i) long_mixed += "a. b=\xC3\xBC\t";
  const std::vector<std::string> bodies = {
      "Hello, world.\r\nSecond line\r\n",
      std::string(200, 'a') + "\r\n" + std::string(200, 'b'),
      "a=b==c\r\n=\r\n=",
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\r\n",
      "nul\0 bell\a esc\x1B del\x7F \x80\xFF"s,
      "trailing  \r\ntabs\t\t\r\n \r\n\t\r\nend  ",
      "..leading dot\r\n..\r\n...three\r\n..",
      ".." + dots_at_breaks + "\r\n" + dots_at_breaks,
      long_mixed + "\r\n" + long_mixed,
      "",
      "\r\n",
  };
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    const std::string whole = Encoded(body, body.size(), 1);
    ExpectLinesReadAsMeant(whole);
    EXPECT_EQ(Decoded(Unstuffed(whole)), Unstuffed(body));
    EXPECT_EQ(Encoded(body, 0, 1), whole);
    for (std::size_t cut = 1; cut < body.size(); ++cut) {
      ASSERT_EQ(Encoded(body, cut, body.size()), whole) << "cut at " << cut;
    }
  }
}

TEST(QuotedPrintable, WritesEachByteAsItsPlaceWants) {
  const std::string x75(75, 'x');
  const struct {
    std::string body;
    std::string wire;
  } cases[] = {
      {"a=b", "a=3Db"},
      {"a \tb \r\nc\t", "a \tb=20\r\nc=09"},
      {"a \r", "a =0D"},
      {"a\rb\nc\0"s, "a=0Db=0Ac=00"},
      {"..x\r\n.y", "..x\r\n=2Ey"},
      {x75 + "y", x75 + "=\r\ny"},
      {x75 + ".", x75 + "=\r\n=2E"},
      {x75.substr(6) + "\xC3\xBC", x75.substr(6) + "=C3=BC"},
      {x75.substr(5) + "\xC3\xBC", x75.substr(5) + "=\r\n=C3=BC"},
  };
  for (const auto& c : cases) EXPECT_EQ(Encoded(c.body, c.body.size(), 1), c.wire) << c.body;
}

TEST(QuotedPrintable, IsNeededForNulAndOverlongLines) {
  const struct {
    String text;
    bool needed;
  } cases[] = {
      {u"plain\r\nwith\ttab\rand\nbreaks", false},
      {u"Gr\u00fc\u00dfe \U0001F600", false},
      {String(1, u'\0'), true},
      {u"bell\a page\f del\x7f", false},
      {String(998, u'x') + u"\n" + String(998, u'x'), false},
      {String(999, u'x'), true},
      {u"." + String(997, u'x'), true},
      {String(499, u'\u00fc'), false},
      {String(500, u'\u00fc'), true},
  };
  for (const auto& c : cases) EXPECT_EQ(NeedsQuotedPrintable(c.text), c.needed);
  // The same limits wherever a line starts against the eight-unit runs.
  for (std::size_t shift = 0; shift < 17; ++shift) {
    const String before = String(shift, u'y') + u"\r\n";
    for (const auto& c : cases) {
      EXPECT_EQ(NeedsQuotedPrintable(before + c.text), c.needed) << "shifted by " << shift;
    }
    EXPECT_FALSE(NeedsQuotedPrintable(before + u"." + String(996, u'x') + u"\n"));
    EXPECT_TRUE(NeedsQuotedPrintable(String(40, u'x').insert(shift, 1, u'\0')));
  }
}

}  // namespace
}  // namespace qv::mail
