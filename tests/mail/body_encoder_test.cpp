// The byte encoder copies text that is already in wire form 64 bytes at a
// time and works byte by byte only where a line end or a leading dot needs
// it. Its output must be the control's own encoding of the same text, and
// the same wherever the text is cut into pieces: the cases put CR LF pairs,
// lone CRs and LFs and leading dots on both sides of the block edges.
#include "qv/mail/body_encoder.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mail/message_text.hpp"
#include "mail/wire_blocks.hpp"
#include "qv/core/text.hpp"

namespace qv::mail {
namespace {

// The control's encoding of the same text (UTF-16, a character at a time).
std::string ControlEncoding(const std::string& text) {
  String out;
  AppendTransparentBody(FromUtf8(text), out);
  return ToUtf8(out);
}

// The text in pieces cut at the given offsets, each encoded into a buffer of
// exactly the room the encoder asks for.
std::string EncodedInPieces(const std::string& text, const std::vector<std::size_t>& cuts) {
  BodyEncoder encoder;
  std::string out;
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
    const std::string_view piece = std::string_view(text).substr(from, to - from);
    std::vector<char> room(BodyEncoder::MaxEncodedSize(piece.size()));
    char* const end = encoder.Encode(piece, room.data());
    EXPECT_LE(end - room.data(), static_cast<std::ptrdiff_t>(room.size()));
    out.append(room.data(), end);
    from = to;
  }
  return out;
}

std::string Line(std::size_t length, char fill = 'a') { return std::string(length, fill); }

TEST(TransparentBytes, MatchTheControlsEncodingWhereverThePiecesAreCut) {
  const std::string wire_form = Line(60) + "\r\n" + Line(60) + "\r\n" + Line(60) + "\r\n";
  const std::vector<std::string> texts = {
      wire_form,
      // A CR LF across the edge of the first block, a leading dot after it.
      Line(63) + "\r\n.x\r\n" + Line(70) + "\r\n",
      // A lone CR at the edge, a dot right after it.
      Line(63) + "\r." + Line(70) + "\r\n",
      // A lone LF on either side of the second block's edge.
      Line(100) + "\r\n" + Line(25) + "\n\n" + Line(10) + "\n",
      Line(127) + "\r\n" + Line(64) + "\r",
      // Lines of a Unix file, some with leading dots.
      [] {
        std::string text;
        for (int i = 0; i < 12; ++i) text += (i % 3 == 0 ? "." : "") + Line(5 + i * 7) + "\n";
        return text;
      }(),
      // A dot alone, dots doubled already, and the end of data in the text.
      Line(80) + "\r\n.\r\n..\r\n" + Line(90) + "\r\n.\r\nQUIT\r\n",
      // Starts with an LF and a dot, ends with a CR; two CRs before an LF.
      "\n." + Line(70) + "\r\r\n" + Line(64) + "\r",
      // UTF-8 characters pass through unchanged.
      Line(61) + "\xc3\xa9\r\n\xe2\x82\xac.\n." + Line(64) + "\xf0\x9f\x93\xa7\r\n",
      // Only line ends and dots.
      std::string(70, '\n') + std::string(70, '.') + std::string(70, '\r'),
  };
  for (const std::string& text : texts) {
    const std::string whole = EncodedInPieces(text, {});
    ASSERT_EQ(whole, ControlEncoding(text)) << text;
    for (std::size_t i = 0; i <= text.size(); ++i) {
      ASSERT_EQ(EncodedInPieces(text, {i}), whole) << "cut at " << i << " of " << text;
    }
    for (std::size_t i = 0; i <= text.size(); i += 7) {
      for (std::size_t j = i; j <= text.size(); j += 5) {
        ASSERT_EQ(EncodedInPieces(text, {i, j}), whole)
            << "cut at " << i << " and " << j << " of " << text;
      }
    }
  }
  // Text already in wire form comes out as it went in.
  EXPECT_EQ(EncodedInPieces(wire_form, {}), wire_form);
}

// The processor picks one of the block copiers; both must stop at the block
// that holds the first byte needing work, and copy the blocks before it.
TEST(TransparentBytes, BlockCopiersStopAtTheFirstBlockThatNeedsWork) {
  struct Case {
    std::string bytes;   // put at `at`, in lines of CR LF
    std::size_t offset;  // of the byte whose block must stop the copy, from `at`
  };
  // A lone LF, a leading dot, and a lone CR: judged with the byte after it.
  const std::vector<Case> cases = {{"x\n", 1}, {"x\r\n.", 3}, {"x\rx", 2}};
  // Blocks start at text + 1: a copier looks one byte back.
  std::string clean;
  while (clean.size() < 1 + 4 * 64) clean += Line(40) + "\r\n";
  for (const Case& c : cases) {
    for (std::size_t at = 1; at + c.bytes.size() <= 1 + 3 * 64; ++at) {
      // Only over the letters of the lines, so that the work is all there is.
      if (clean.find_first_not_of('a', at) < at + c.bytes.size()) continue;
      std::string text = clean;
      text.replace(at, c.bytes.size(), c.bytes);
      const std::size_t work = at + c.offset;
      const char* const blocks = text.data() + 1;
      const char* const end = blocks + 4 * 64;
      std::vector<char> out(4 * 64);
      std::vector<const char*> stops;
      std::vector<std::function<const char*(const char*, const char*, char*&)>> copiers = {
          CopyWireFormBlocksSse2};
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
      if (__builtin_cpu_supports("avx2")) copiers.push_back(CopyWireFormBlocksAvx2);
#endif
      for (const auto& copy : copiers) {
        char* o = out.data();
        const char* const stop = copy(blocks, end, o);
        ASSERT_EQ(stop - blocks, static_cast<std::ptrdiff_t>((work - 1) / 64 * 64))
            << "work at " << work << " for " << c.bytes;
        ASSERT_EQ(o - out.data(), stop - blocks);
        ASSERT_EQ(std::string(out.data(), o), std::string(blocks, stop));
      }
    }
  }
}

TEST(TransparentBytes, AppendedToAStringAsIntoABuffer) {
  // Longer than the encoder's own part size, with a CR LF across its edge.
  const std::string text = Line(4095) + "\r\n." + Line(5000) + "\n";
  BodyEncoder encoder;
  std::string out = "kept ";
  encoder.Encode(text, out);
  EXPECT_EQ(out, "kept " + EncodedInPieces(text, {}));
}

}  // namespace
}  // namespace qv::mail
