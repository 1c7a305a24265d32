#include "mail/quoted_printable.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace qv::mail {
namespace {

// Characters an encoded line holds before the "=" of a soft break, so that
// no line exceeds 76. A line that ends at a hard break could hold one more;
// not knowing that in time costs nothing but a slightly earlier break.
constexpr std::size_t kLineRoom = 75;

enum Kind : unsigned char { kPlain, kBlank, kEncoded };

// How each byte is written when nothing around it matters: printable ASCII
// other than "=" as itself (a "." only where it does not start a line), space and
// tab as themselves unless they end a line, everything else as "=XX".
constexpr std::array<Kind, 256> kKinds = [] {
  std::array<Kind, 256> kinds{};
  for (int b = 0; b < 256; ++b) {
    kinds[b] = b >= 33 && b <= 126 && b != '=' ? kPlain : kEncoded;
  }
  kinds[' '] = kBlank;
  kinds['\t'] = kBlank;
  return kinds;
}();

// Room to keep on the line for a byte written as "=XX": a UTF-8 lead byte
// asks for its whole sequence, so a soft break does not cut a character.
std::size_t EncodedRoom(unsigned char byte) {
  if (byte < 0xC0) return 3;
  if (byte < 0xE0) return 6;
  if (byte < 0xF0) return 9;
  return 12;
}

constexpr std::size_t kLineOctets = 998;

// The octets of every line counted as sent, unit by unit.
bool CountedNeedsQuotedPrintable(std::u16string_view text) {
  std::size_t octets = 0;  // of the current line, as sent
  for (const char16_t c : text) {
    if (c < 0x20) [[unlikely]] {
      if (c == u'\r' || c == u'\n') {
        octets = 0;
        continue;
      }
      if (c == 0) return true;
    }
    // A surrogate is half of a four-octet character.
    octets +=
        1 + (c >= 0x80) + (c >= 0x800 && (c < 0xD800 || c >= 0xE000)) + (octets == 0 && c == u'.');
    if (octets > kLineOctets) [[unlikely]]
      return true;
  }
  return false;
}

}  // namespace

void QuotedPrintableEncoder::SoftBreakFor(std::size_t room, std::string& out) {
  if (column_ + room > kLineRoom) {
    out += "=\r\n";
    column_ = 0;
  }
}

void QuotedPrintableEncoder::PutEncoded(unsigned char byte, std::size_t room, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  SoftBreakFor(room, out);
  const char triple[] = {'=', kHex[byte >> 4], kHex[byte & 15]};
  out.append(triple, 3);
  column_ += 3;
}

void QuotedPrintableEncoder::PutLiteral(unsigned char byte, std::string& out) {
  SoftBreakFor(1, out);
  // Only a soft break leaves column 0 here; a "." there would be taken for
  // a doubled dot and lose itself on the server.
  if (column_ == 0 && byte == '.') {
    PutEncoded(byte, 3, out);
  } else {
    out.push_back(static_cast<char>(byte));
    ++column_;
  }
}

void QuotedPrintableEncoder::PutHeldBlankLiteral(std::string& out) {
  if (blank_ != 0) {
    PutLiteral(blank_, out);
    blank_ = 0;
  }
}

void QuotedPrintableEncoder::Put(unsigned char byte, std::string& out) {
  if (dot_held_) {
    dot_held_ = false;
    if (byte == '.') {
      // The doubled dot stays doubled: the server takes one, the decoder
      // reads the other.
      out += "..";
      column_ = 2;
      return;
    }
    // A lone leading dot was never doubled; it is kept as a dot.
    PutEncoded('.', 3, out);
  }
  if (cr_held_) {
    cr_held_ = false;
    if (byte == '\n') {
      if (blank_ != 0) PutEncoded(blank_, 3, out);
      blank_ = 0;
      out += "\r\n";
      column_ = 0;
      line_start_ = true;
      return;
    }
    PutHeldBlankLiteral(out);
    PutEncoded('\r', 3, out);
    line_start_ = false;
  }
  if (byte == '\r') {
    cr_held_ = true;
    return;
  }
  PutHeldBlankLiteral(out);
  if (line_start_) {
    line_start_ = false;
    if (byte == '.') {
      dot_held_ = true;
      return;
    }
  }
  switch (kKinds[byte]) {
    case kPlain:
      PutLiteral(byte, out);
      break;
    case kBlank:
      blank_ = byte;
      break;
    case kEncoded:
      PutEncoded(byte, EncodedRoom(byte), out);
      break;
  }
}

void QuotedPrintableEncoder::Encode(std::string_view piece, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* const end = p + piece.size();
  while (p < end) {
    if (!dot_held_ && !cr_held_ && blank_ == 0 && !line_start_) {
      // Most of a text body is a run of bytes written as they are, copied a
      // line's room at a time; a blank with a plain byte after it ends no
      // line, so it joins the run.
      const auto* run = p;
      while (run < end) {
        if (kKinds[*run] == kPlain) {
          ++run;
        } else if (kKinds[*run] == kBlank && end - run > 1 && kKinds[run[1]] == kPlain) {
          run += 2;
        } else {
          break;
        }
      }
      while (p < run) {
        SoftBreakFor(1, out);
        if (column_ == 0 && *p == '.') {
          PutLiteral(*p++, out);
          continue;
        }
        const auto n =
            std::min<std::size_t>(static_cast<std::size_t>(run - p), kLineRoom - column_);
        out.append(reinterpret_cast<const char*>(p), n);
        column_ += n;
        p += n;
      }
      if (p == end) break;
    }
    Put(*p++, out);
  }
}

void QuotedPrintableEncoder::Finish(std::string& out) {
  if (dot_held_) PutEncoded('.', 3, out);
  if (cr_held_) {
    PutHeldBlankLiteral(out);
    PutEncoded('\r', 3, out);
  }
  if (blank_ != 0) PutEncoded(blank_, 3, out);
  *this = QuotedPrintableEncoder();
}

bool NeedsQuotedPrintable(std::u16string_view text) {
#if defined(__SSE2__)
  // A unit is at most three octets, and a line's leading dot one more, so a
  // line of up to 332 units fits in 998 octets whatever it holds: only NUL
  // and the distance between line ends need looking at, eight units at a
  // time and without a branch on the text, for a body of hundreds of
  // megabytes. A longer line has its octets counted.
  constexpr std::ptrdiff_t kUnitsThatAlwaysFit = (kLineOctets - 1) / 3;
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  const char16_t* line = p;  // where the current line began
  unsigned nul = 0;
  for (; end - p >= 8; p += 8) {
    __m128i units;
    std::memcpy(&units, p, sizeof units);
    const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16(u'\r')),
                                        _mm_cmpeq_epi16(units, _mm_set1_epi16(u'\n')));
    const auto break_bits = static_cast<unsigned>(_mm_movemask_epi8(breaks));
    nul |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, _mm_setzero_si128())));
    // Two mask bits a unit: the line begins after the last break's unit.
    line = break_bits != 0 ? p + std::bit_width(break_bits) / 2 : line;
    if (p + 8 - line > kUnitsThatAlwaysFit) return CountedNeedsQuotedPrintable(text);
  }
  if (nul != 0) return true;
  // The rest, from the start of its line so that the line is counted whole.
  return CountedNeedsQuotedPrintable({line, static_cast<std::size_t>(end - line)});
#else
  return CountedNeedsQuotedPrintable(text);
#endif
}

}  // namespace qv::mail
