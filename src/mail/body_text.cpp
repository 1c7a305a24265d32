#include "mail/body_text.hpp"

#include "mail/message_text.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qv::mail {
namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Most bytes one step of the loop below writes: a leading dot and a character
// of up to four bytes.
constexpr std::ptrdiff_t kStepRoom = 8;

}  // namespace

std::size_t BodyText::Encode(char* out, std::size_t room) {
  const String& text = *text_;
  const char16_t* p = text.data() + position_;
  const char16_t* const end = text.data() + text.size();
  char* o = out;
  char* const limit = out + room;

  while (p < end && limit - o >= kStepRoom) {
    if (after_cr_) {
      after_cr_ = false;
      if (*p == u'\n') {  // the LF of a CR LF already written
        ++p;
        continue;
      }
    }
    if (line_start_) {
      line_start_ = false;
      if (*p == u'.') *o++ = '.';
    }
#if defined(__SSE2__)
    // Plain ASCII, sixteen units at a time: narrowed and stored whole, then
    // the pointers advance only past the units before the first one that is
    // not plain (a line break or a character outside ASCII).
    const __m128i high_bits = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i cr = _mm_set1_epi16(u'\r');
    const __m128i lf = _mm_set1_epi16(u'\n');
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16 && limit - o >= 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
      const __m128i plain_a =
          _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi16(a, cr), _mm_cmpeq_epi16(a, lf)),
                           _mm_cmpeq_epi16(_mm_and_si128(a, high_bits), zero));
      const __m128i plain_b =
          _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi16(b, cr), _mm_cmpeq_epi16(b, lf)),
                           _mm_cmpeq_epi16(_mm_and_si128(b, high_bits), zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
      const unsigned plain =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(plain_a, plain_b)));
      if (plain == 0xFFFF) {
        o += 16;
        p += 16;
        continue;
      }
      const int run = __builtin_ctz(~plain);
      o += run;
      p += run;
      break;
    }
    if (p == end || limit - o < kStepRoom) break;
#endif
    const char16_t c = *p++;
    if (c < 0x80) {
      if (c == u'\r' || c == u'\n') {
        after_cr_ = c == u'\r';
        *o++ = '\r';
        *o++ = '\n';
        line_start_ = true;
      } else {
        *o++ = static_cast<char>(c);
      }
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (IsHighSurrogate(c) && p < end && IsLowSurrogate(*p)) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                          (static_cast<char32_t>(*p++) - 0xDC00);
      *o++ = static_cast<char>(0xF0 | (cp >> 18));
      *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      // A lone surrogate has no UTF-8 form: U+FFFD, as everywhere else.
      const char32_t cp = (c >= 0xD800 && c <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{c};
      *o++ = static_cast<char>(0xE0 | (cp >> 12));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  position_ = static_cast<std::size_t>(p - text.data());
  if (p == end && !ended_ && limit - o >= 2) {
    *o++ = '\r';
    *o++ = '\n';
    ended_ = true;
  }
  return static_cast<std::size_t>(o - out);
}

std::size_t BodyText::Remaining() const { return text_->size() - position_ + (ended_ ? 0 : 2); }

String BodyText::Whole() const {
  String whole;
  AppendTransparentBody(*text_, whole);
  whole += u"\r\n";
  return whole;
}

}  // namespace qv::mail
