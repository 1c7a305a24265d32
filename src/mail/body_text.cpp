#include "mail/body_text.hpp"

#include "mail/message_text.hpp"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace qv::mail {
namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Most bytes one step of the loop below writes: a leading dot and a character
// of up to four bytes.
constexpr std::ptrdiff_t kStepRoom = 8;

#if defined(__SSE2__)
// Which units of a block need work, one bit each, from the bits of its CRs,
// LFs, dots and units outside ASCII: every LF must follow a CR, every CR be
// followed by an LF inside the block (one in the last unit is judged with the
// next block, so it needs work here), and no dot may follow a line end.
// break_before: the unit before the block ended a line.
template <typename Mask>
Mask NeedsWork(Mask cr, Mask lf, Mask dot, Mask not_ascii, Mask break_before) {
  return not_ascii | (lf ^ static_cast<Mask>(cr << 1)) | (cr & ~static_cast<Mask>(lf >> 1)) |
         (dot & (static_cast<Mask>((cr | lf) << 1) | break_before));
}

// Copies the run of text already in wire form at p as its bytes, sixteen
// units at a time (narrowed and stored whole, then the pointers advance only
// past the units before the first that needs work), and returns where the
// run ends. line_start: whether the first unit starts a line.
const char16_t* CopyWireFormSse2(const char16_t* p, const char16_t* end, char*& o,
                                 const char* limit, bool line_start) {
  const __m128i high_bits = _mm_set1_epi16(static_cast<short>(0xFF80));
  const auto lanes = [](__m128i a, __m128i b, __m128i c) {
    return static_cast<std::uint16_t>(
        _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, c), _mm_cmpeq_epi16(b, c))));
  };
  auto break_before = static_cast<std::uint16_t>(line_start);
  while (end - p >= 16 && limit - o >= 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
    const std::uint16_t lf = lanes(a, b, _mm_set1_epi16(u'\n'));
    const std::uint16_t work = NeedsWork<std::uint16_t>(
        lanes(a, b, _mm_set1_epi16(u'\r')), lf, lanes(a, b, _mm_set1_epi16(u'.')),
        static_cast<std::uint16_t>(
            ~lanes(_mm_and_si128(a, high_bits), _mm_and_si128(b, high_bits), _mm_setzero_si128())),
        break_before);
    if (work != 0) {
      const int run = __builtin_ctz(work);
      o += run;
      return p + run;
    }
    o += 16;
    p += 16;
    break_before = static_cast<std::uint16_t>(lf >> 15);
  }
  return p;
}
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The bits of the units of a and b equal to c. packs works within each
// 128-bit half; the permute puts the units back in order.
__attribute__((target("avx2"), always_inline)) inline std::uint32_t Lanes(__m256i a, __m256i b,
                                                                          __m256i c) {
  const __m256i packed = _mm256_packs_epi16(_mm256_cmpeq_epi16(a, c), _mm256_cmpeq_epi16(b, c));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_permute4x64_epi64(packed, 0xD8)));
}

// The same, thirty-two units at a time, where the processor can. The first
// unit is taken as not starting a line.
__attribute__((target("avx2"))) const char16_t* CopyWireFormAvx2(const char16_t* p,
                                                                 const char16_t* end, char*& o,
                                                                 const char* limit) {
  const __m256i high_bits = _mm256_set1_epi16(static_cast<short>(0xFF80));
  std::uint32_t break_before = 0;
  while (end - p >= 32 && limit - o >= 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
    const std::uint32_t lf = Lanes(a, b, _mm256_set1_epi16(u'\n'));
    const std::uint32_t work = NeedsWork<std::uint32_t>(
        Lanes(a, b, _mm256_set1_epi16(u'\r')), lf, Lanes(a, b, _mm256_set1_epi16(u'.')),
        ~Lanes(_mm256_and_si256(a, high_bits), _mm256_and_si256(b, high_bits),
               _mm256_setzero_si256()),
        break_before);
    if (work != 0) {
      const int run = __builtin_ctz(work);
      o += run;
      return p + run;
    }
    o += 32;
    p += 32;
    break_before = lf >> 31;
  }
  return CopyWireFormSse2(p, end, o, limit, break_before != 0);
}
#endif

#if defined(__SSE2__)
const char16_t* CopyWireForm(const char16_t* p, const char16_t* end, char*& o, const char* limit) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return CopyWireFormAvx2(p, end, o, limit);
#endif
  return CopyWireFormSse2(p, end, o, limit, false);
}
#endif

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
    // Text already in wire form goes across whole; the first unit that needs
    // work goes the slow way below, with line_start_ judged again.
    const char16_t* const entry = p;
    p = CopyWireForm(p, end, o, limit);
    if (p != entry) {
      line_start_ = p[-1] == u'\n';
      continue;
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
