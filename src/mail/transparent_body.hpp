// The body in its transparent wire form, made from text that may arrive in
// pieces split anywhere: every bare CR, bare LF or CR LF becomes CR LF, and a
// line that begins with "." gets a second one, so that no body line can end
// the data early or lose its dot. Works on UTF-16 (the control's Body) and on
// UTF-8 bytes (a host that streams a body itself) alike.
#pragma once

#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qv::mail {

// The first CR or LF in [p, end), or end. Bodies are long runs of ordinary
// text, so the search looks at eight UTF-16 units at a time where it can.
inline const char16_t* FindLineBreak(const char16_t* p, const char16_t* end) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi16(u'\r');
  const __m128i lf = _mm_set1_epi16(u'\n');
  for (; end - p >= 8; p += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int hits =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf)));
    if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits)) / 2;
  }
#endif
  while (p < end && *p != u'\r' && *p != u'\n') ++p;
  return p;
}

inline const char* FindLineBreak(const char* p, const char* end) {
  while (p < end && *p != '\r' && *p != '\n') ++p;
  return p;
}

template <typename Char>
class TransparentBody {
 public:
  // Appends the transparent form of the next piece of text.
  void Encode(std::basic_string_view<Char> text, std::basic_string<Char>& out) {
    const Char* p = text.data();
    const Char* const end = p + text.size();
    while (p < end) {
      if (after_cr_) {
        after_cr_ = false;
        if (*p == Char('\n')) {  // the LF of a CR LF already written
          ++p;
          continue;
        }
      }
      if (line_start_) {
        if (*p == Char('.')) out.push_back(Char('.'));
        line_start_ = false;
      }
      // Copy the run of ordinary characters in one go.
      const Char* run = p;
      p = FindLineBreak(p, end);
      out.append(run, p);
      if (p == end) break;
      after_cr_ = *p == Char('\r');
      ++p;
      out.push_back(Char('\r'));
      out.push_back(Char('\n'));
      line_start_ = true;
    }
  }

  // Starts a new body. Nothing is ever held back, so nothing is written.
  void Finish(std::basic_string<Char>& /*out*/) {
    line_start_ = true;
    after_cr_ = false;
  }

 private:
  bool line_start_ = true;
  bool after_cr_ = false;
};

}  // namespace qv::mail
