#include "qv/core/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/utf8_reference.hpp"

namespace qv {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

struct EncodeCase {
  std::u16string input;
  std::string expected;
};

TEST(ToUtf8Test, EncodesEveryLengthAndReplacesLoneSurrogates) {
  const EncodeCase cases[] = {
      {u"", ""},
      {u"Hello, world", "Hello, world"},
      {u"\u00e9", Bytes({0xC3, 0xA9})},
      {u"\u07ff\u0800", Bytes({0xDF, 0xBF, 0xE0, 0xA0, 0x80})},
      {u"\u20ac", Bytes({0xE2, 0x82, 0xAC})},
      {u"\uffff", Bytes({0xEF, 0xBF, 0xBF})},
      {u"\U0001F600", Bytes({0xF0, 0x9F, 0x98, 0x80})},
      {u"\U0010FFFF", Bytes({0xF4, 0x8F, 0xBF, 0xBF})},
      // Lone surrogates: at the end, before a non-surrogate, low first, two highs.
      {std::u16string(1, char16_t(0xD800)), Bytes({0xEF, 0xBF, 0xBD})},
      {std::u16string{char16_t(0xD83D), u'a'}, Bytes({0xEF, 0xBF, 0xBD, 'a'})},
      {std::u16string{char16_t(0xDE00), char16_t(0xD83D)},
       Bytes({0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD})},
      {std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)},
       Bytes({0xEF, 0xBF, 0xBD, 0xF0, 0x9F, 0x98, 0x80})},
      // Non-ASCII at each place of a four-unit block of the fast path.
      {u"abc\u00e9defgh", "abc" + Bytes({0xC3, 0xA9}) + "defgh"},
      {u"abcdefg\u00e9", "abcdefg" + Bytes({0xC3, 0xA9})},
      {u"\u0080bcdefgh", Bytes({0xC2, 0x80}) + "bcdefgh"},
  };
  for (const EncodeCase& c : cases) {
    EXPECT_EQ(ToUtf8(c.input), c.expected) << "input size " << c.input.size();
  }
}

TEST(ToUtf8Test, AppendKeepsWhatIsThere) {
  std::string out = "prefix:";
  AppendUtf8(u"\u20ac1", out);
  AppendUtf8(u"", out);
  AppendUtf8(u"x", out);
  EXPECT_EQ(out, "prefix:" + Bytes({0xE2, 0x82, 0xAC}) + "1x");
}

struct DecodeCase {
  std::string input;
  std::u16string expected;
};

TEST(FromUtf8Test, DecodesValidAndKeepsInvalidBytesAsCharacters) {
  const DecodeCase cases[] = {
      {"", u""},
      {"plain text that is longer than eight", u"plain text that is longer than eight"},
      {Bytes({0xC3, 0xA9}), u"\u00e9"},
      {Bytes({0xE2, 0x82, 0xAC}), u"\u20ac"},
      {Bytes({0xF0, 0x9F, 0x98, 0x80}), u"\U0001F600"},
      {Bytes({0xF4, 0x8F, 0xBF, 0xBF}), u"\U0010FFFF"},
      // Overlong forms.
      {Bytes({0xC0, 0x80}), u"\u00c0\u0080"},
      {Bytes({0xC1, 0xBF}), u"\u00c1\u00bf"},
      {Bytes({0xE0, 0x80, 0xAF}), u"\u00e0\u0080\u00af"},
      {Bytes({0xF0, 0x8F, 0xBF, 0xBF}), u"\u00f0\u008f\u00bf\u00bf"},
      // Surrogate code points and values above U+10FFFF.
      {Bytes({0xED, 0xA0, 0x80}), u"\u00ed\u00a0\u0080"},
      {Bytes({0xF4, 0x90, 0x80, 0x80}), u"\u00f4\u0090\u0080\u0080"},
      {Bytes({0xF5, 0x80}), u"\u00f5\u0080"},
      {Bytes({0xFF}), u"\u00ff"},
      // Stray continuation bytes, and a sequence broken by ASCII.
      {Bytes({0x80, 'a', 0xBF}), u"\u0080a\u00bf"},
      {Bytes({0xE2, 0x82, 'a'}), u"\u00e2\u0082a"},
      // A broken sequence followed by a valid one.
      {Bytes({0xE2, 0xE2, 0x82, 0xAC}), u"\u00e2\u20ac"},
      // Truncated at the end.
      {Bytes({'x', 0xF0, 0x9F, 0x98}), u"x\u00f0\u009f\u0098"},
      // Invalid byte inside an ASCII run of the fast path.
      {"abcdefg" + Bytes({0xFE}) + "hijklmnop", u"abcdefg\u00fehijklmnop"},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(FromUtf8(c.input), c.expected) << "input size " << c.input.size();
  }
}

using test_support::ReferenceDecode;

TEST(FromUtf8Test, AgreesWithReferenceOnAllLeadAndSecondBytes) {
  const int tails[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0x41};
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    for (int second = 0; second <= 0xFF; ++second) {
      for (int third : tails) {
        for (int fourth : tails) {
          const std::string input = Bytes({lead, second, third, fourth, 'z'});
          ASSERT_EQ(FromUtf8(input), ReferenceDecode(input))
              << std::hex << lead << " " << second << " " << third << " " << fourth;
        }
      }
    }
  }
}

TEST(Utf8RoundTripTest, EveryCodePointSurvives) {
  std::u16string all;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp >= 0x10000) {
      all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      all.push_back(static_cast<char16_t>(cp));
    }
  }
  const std::string bytes = ToUtf8(all);
  EXPECT_EQ(bytes.size(),
            0x80u * 1 + 0x780u * 2 + (0x10000u - 0x800u - 0x800u) * 3 + 0x100000u * 4);
  EXPECT_EQ(FromUtf8(bytes), all);
}

// A mix of every kind of sequence, valid and broken.
std::string MixedInput() {
  return "ab" + Bytes({0xC3, 0xA9}) + "cdefghij" + Bytes({0xE2, 0x82, 0xAC}) +
         Bytes({0xF0, 0x9F, 0x98, 0x80}) + Bytes({0xE2, 0x82}) + "k" + Bytes({0xF0, 0x9F}) +
         Bytes({0xE2, 0x82, 0xAC}) + Bytes({0xED, 0xA0, 0x80}) + Bytes({0x80}) + "tail" +
         Bytes({0xF0, 0x9F, 0x98});
}

TEST(Utf8StreamDecoderTest, AnySplitGivesTheWholeDecode) {
  const std::string input = MixedInput();
  const std::u16string expected = FromUtf8(input);
  for (std::size_t first = 0; first <= input.size(); ++first) {
    for (std::size_t second = first; second <= input.size(); ++second) {
      Utf8StreamDecoder decoder;
      std::u16string out;
      decoder.Decode(std::string_view(input).substr(0, first), out);
      decoder.Decode(std::string_view(input).substr(first, second - first), out);
      decoder.Decode(std::string_view(input).substr(second), out);
      decoder.Flush(out);
      ASSERT_EQ(out, expected) << "split at " << first << " and " << second;
      EXPECT_EQ(decoder.pending(), 0u);
    }
  }
}

TEST(Utf8StreamDecoderTest, OneByteAtATime) {
  const std::string input = MixedInput();
  Utf8StreamDecoder decoder;
  std::u16string out;
  for (char c : input) decoder.Decode(std::string_view(&c, 1), out);
  decoder.Flush(out);
  EXPECT_EQ(out, FromUtf8(input));
}

TEST(Utf8StreamDecoderTest, HoldsBackOnlyAValidIncompleteSequence) {
  Utf8StreamDecoder decoder;
  std::u16string out;
  decoder.Decode("a" + Bytes({0xF0, 0x9F, 0x98}), out);
  EXPECT_EQ(out, u"a");
  EXPECT_EQ(decoder.pending(), 3u);
  decoder.Decode("", out);
  EXPECT_EQ(decoder.pending(), 3u);
  decoder.Decode(Bytes({0x80}), out);
  EXPECT_EQ(out, u"a\U0001F600");
  EXPECT_EQ(decoder.pending(), 0u);

  // Not a possible start: nothing is held.
  decoder.Decode(Bytes({0xE0, 0x80}), out);
  EXPECT_EQ(decoder.pending(), 0u);
  EXPECT_EQ(out, u"a\U0001F600\u00e0\u0080");
}

TEST(Utf8StreamDecoderTest, BrokenHeldSequenceBecomesByteCharacters) {
  Utf8StreamDecoder decoder;
  std::u16string out;
  decoder.Decode(Bytes({0xE2, 0x82}), out);
  EXPECT_EQ(decoder.pending(), 2u);
  // The next piece starts a new sequence instead of finishing the held one.
  decoder.Decode(Bytes({0xE2, 0x82}), out);
  EXPECT_EQ(out, u"\u00e2\u0082");
  EXPECT_EQ(decoder.pending(), 2u);
  decoder.Decode(Bytes({0xAC, 'z'}), out);
  EXPECT_EQ(out, u"\u00e2\u0082\u20acz");
}

TEST(Utf8StreamDecoderTest, FlushEmitsHeldBytes) {
  Utf8StreamDecoder decoder;
  std::u16string out;
  decoder.Decode(Bytes({'x', 0xF4, 0x8F}), out);
  decoder.Flush(out);
  EXPECT_EQ(out, u"x\u00f4\u008f");
  EXPECT_EQ(decoder.pending(), 0u);
  decoder.Decode("y", out);
  EXPECT_EQ(out, u"x\u00f4\u008fy");
}

}  // namespace
}  // namespace qv
