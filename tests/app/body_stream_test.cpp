// The body that a SendBody handler streams: the same wire text as the
// control's own Body path, however the input is cut, in pieces of at most
// kMaxPieceBytes that never split a character.
#include "body_stream.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/message_text.hpp"
#include "qv/core/text.hpp"
#include "qv/mail/body_encoder.hpp"

namespace qvsmtp {
namespace {

// What the control writes for a Body of this UTF-8 text.
std::string ControlWireForm(const std::string& text) {
  qv::String out;
  qv::mail::AppendTransparentBody(qv::FromUtf8(text), out);
  return qv::ToUtf8(out);
}

std::string Encode(const std::vector<std::string>& pieces) {
  qv::BodyEncoder encoder;
  std::string out;
  for (const std::string& piece : pieces) encoder.Encode(piece, out);
  encoder.Finish();
  return out;
}

// Hands out its text a few bytes at a time, as a pipe might.
class TrickleSource final : public BodySource {
 public:
  TrickleSource(std::string text, std::size_t step) : text_(std::move(text)), step_(step) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, step_, text_.size() - offset_});
    std::copy_n(text_.data() + offset_, n, buffer);
    offset_ += n;
    step_ = step_ % 7 + 1;  // vary the cut
    return n;
  }
  std::optional<std::uint64_t> Size() const override { return std::nullopt; }

 private:
  std::string text_;
  std::size_t offset_ = 0;
  std::size_t step_;
};

struct Streamed {
  std::vector<qv::String> pieces;
  std::string wire;
};

Streamed Stream(BodySource& source) {
  Streamed result;
  // As the socket sends a piece given as UTF-8.
  StreamBody(source, [&](std::string_view piece, std::uint64_t) {
    result.pieces.push_back(qv::FromUtf8(piece));
    result.wire += qv::ToUtf8(result.pieces.back());
  });
  return result;
}

TEST(BodyEncoder, EndsEveryLineWithCrLfAndDoublesALeadingDot) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"plain", "plain"},
      {"a\nb", "a\r\nb"},
      {"a\r\nb", "a\r\nb"},
      {"a\rb", "a\r\nb"},
      {"a\n\nb", "a\r\n\r\nb"},
      {"a\r\r\nb", "a\r\n\r\nb"},
      {"a\n\r\nb", "a\r\n\r\nb"},
      {"trailing CR\r", "trailing CR\r\n"},
      {".", ".."},
      {".\n", "..\r\n"},
      {"..x\n.\r\n", "...x\r\n..\r\n"},
      {"a.b\n x.\n", "a.b\r\n x.\r\n"},
      {"\r.\r.", "\r\n..\r\n.."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Encode({c.in}), c.out) << c.in;
    EXPECT_EQ(Encode({c.in}), ControlWireForm(c.in)) << c.in;
  }
}

TEST(BodyEncoder, GivesTheSameTextWhereverTheInputIsCut) {
  const std::string text = "one\r\n.two\r\rthree\n\n..four\r\n.\r\nfive.\n\r.";
  const std::string whole = Encode({text});
  for (std::size_t i = 0; i <= text.size(); ++i) {
    for (std::size_t j = i; j <= text.size(); ++j) {
      ASSERT_EQ(Encode({text.substr(0, i), text.substr(i, j - i), text.substr(j)}), whole)
          << "cut at " << i << " and " << j;
    }
  }
}

// A body a few pieces long, with CR LF pairs, leading dots and characters of
// two to four bytes placed across every likely cut (none of them below
// U+0100, so that a split one would show).
std::string LargeBody() {
  std::string text;
  const std::vector<std::string> lines = {".dot first\n",
                                          "crlf\r\n",
                                          "bare cr\r",
                                          "\xc4\x9f\xce\xa9\n",
                                          "\xe2\x82\xac euro\r\n",
                                          "\xf0\x9f\x93\xa7 mail\n",
                                          "..\n",
                                          "plain text line\n"};
  for (std::size_t i = 0; text.size() < 4 * kMaxPieceBytes + 300000; ++i)
    text += lines[i % lines.size()];
  return text;
}

TEST(StreamBody, CutsPiecesOfAtMostTheLimitWholeCharactersInOrder) {
  const std::string text = LargeBody();
  TextSource source(text);
  const Streamed streamed = Stream(source);
  EXPECT_EQ(streamed.wire, ControlWireForm(text));
  ASSERT_GE(streamed.pieces.size(), 5u);
  for (const qv::String& piece : streamed.pieces) {
    EXPECT_LE(qv::ToUtf8(piece).size(), kMaxPieceBytes);
    // A character cut in two would show as single bytes: characters of
    // values 0x80 to 0xFF that the text does not hold.
    for (char16_t c : piece) ASSERT_FALSE(c >= 0x80 && c <= 0xFF) << "split character";
  }
}

TEST(StreamBody, AnyReadSizeGivesTheSameWireText) {
  const std::string text = LargeBody().substr(0, 70000);
  TrickleSource trickle(text, 1);
  EXPECT_EQ(Stream(trickle).wire, ControlWireForm(text));
}

TEST(StreamBody, BytesThatAreNoUtf8BecomeWhatTheBodyPathMakesOfThem) {
  // A lone continuation byte, a cut-off sequence at the very end, and an
  // overlong form.
  std::string text = "a\x80z\r\n\xc0\xafq\n";
  text += std::string(kMaxPieceBytes, 'x') + "\xe2\x82";
  TextSource source(text);
  EXPECT_EQ(Stream(source).wire, ControlWireForm(text));
}

TEST(StreamBody, AnEmptySourceWritesNothing) {
  TextSource source("");
  EXPECT_TRUE(Stream(source).pieces.empty());
}

}  // namespace
}  // namespace qvsmtp
