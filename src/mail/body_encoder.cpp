// The transparent wire form of a body, one implementation for the control and
// for hosts that write a body themselves.
#include "qv/mail/body_encoder.hpp"

#include <cstdint>
#include <cstring>

#include "mail/wire_blocks.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace qv {
namespace {

// The first CR or LF in [p, end), or end. Bodies are long runs of ordinary
// text, so the search looks at eight UTF-16 units at a time where it can.
const char16_t* FindLineBreak(const char16_t* p, const char16_t* end) {
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

// Where the bytes that may need work lie in a block of 64: bit i stands for
// block[i].
struct ByteClasses {
  std::uint64_t cr = 0;
  std::uint64_t lf = 0;
  std::uint64_t dot = 0;
};

ByteClasses ClassifyBlock(const char* block) {
  ByteClasses classes;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i dot = _mm_set1_epi8('.');
  for (int i = 0; i < 64; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i));
    const auto bits = [&](__m128i c) {
      return static_cast<std::uint64_t>(
                 static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, c))))
             << i;
    };
    classes.cr |= bits(cr);
    classes.lf |= bits(lf);
    classes.dot |= bits(dot);
  }
#else
  for (int i = 0; i < 64; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (block[i] == '\r') classes.cr |= bit;
    if (block[i] == '\n') classes.lf |= bit;
    if (block[i] == '.') classes.dot |= bit;
  }
#endif
  return classes;
}

// Copies the 64 bytes at block to out and tells whether they need no work,
// judged with the byte before them (block[-1] must be readable): every LF
// follows a CR, every CR but the last is followed by an LF, and no dot
// follows a CR or an LF.
bool CopyBlockIfWireForm(const char* block, char* out) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i dot = _mm_set1_epi8('.');
  __m128i work = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i - 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    const __m128i cr_before = _mm_cmpeq_epi8(before, cr);
    const __m128i break_before = _mm_or_si128(cr_before, _mm_cmpeq_epi8(before, lf));
    work = _mm_or_si128(work, _mm_xor_si128(_mm_cmpeq_epi8(v, lf), cr_before));
    work = _mm_or_si128(work, _mm_and_si128(_mm_cmpeq_epi8(v, dot), break_before));
  }
  return _mm_movemask_epi8(work) == 0;
#else
  std::memcpy(out, block, 64);
  for (int i = 0; i < 64; ++i) {
    const char before = block[i - 1];
    if ((block[i] == '\n') != (before == '\r')) return false;
    if (block[i] == '.' && (before == '\r' || before == '\n')) return false;
  }
  return true;
#endif
}

// UTF-8 goes through a small buffer, so that out is never filled ahead.
constexpr std::size_t kPartBytes = 4096;

}  // namespace

namespace mail {

// Copies the whole blocks from p on that need no work (p[-1] must be
// readable) to o, and returns where the first block that needs work, or the
// last part block, begins; o moves past what was copied.
const char* CopyWireFormBlocksSse2(const char* p, const char* end, char*& o) {
  for (; end - p >= 64 && CopyBlockIfWireForm(p, o); p += 64) o += 64;
  return p;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same, 32 bytes to a compare, where the processor has them.
__attribute__((target("avx2"))) const char* CopyWireFormBlocksAvx2(const char* p, const char* end,
                                                                   char*& o) {
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i dot = _mm256_set1_epi8('.');
  for (; end - p >= 64; p += 64, o += 64) {
    __m256i work = _mm256_setzero_si256();
    for (int i = 0; i < 64; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i - 1));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + i), v);
      const __m256i cr_before = _mm256_cmpeq_epi8(before, cr);
      const __m256i break_before = _mm256_or_si256(cr_before, _mm256_cmpeq_epi8(before, lf));
      work = _mm256_or_si256(work, _mm256_xor_si256(_mm256_cmpeq_epi8(v, lf), cr_before));
      work = _mm256_or_si256(work, _mm256_and_si256(_mm256_cmpeq_epi8(v, dot), break_before));
    }
    if (_mm256_movemask_epi8(work) != 0) break;
  }
  return p;
}
#endif

const char* CopyWireFormBlocks(const char* p, const char* end, char*& o) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return CopyWireFormBlocksAvx2(p, end, o);
#endif
  return CopyWireFormBlocksSse2(p, end, o);
}

}  // namespace mail

using mail::CopyWireFormBlocks;

void BodyEncoder::Encode(std::u16string_view text, std::u16string& out) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  while (p < end) {
    if (after_cr_) {
      after_cr_ = false;
      if (*p == u'\n') {  // the LF of a CR LF already written
        ++p;
        continue;
      }
    }
    if (line_start_) {
      if (*p == u'.') out.push_back(u'.');
      line_start_ = false;
    }
    // Copy the run of ordinary characters in one go.
    const char16_t* run = p;
    p = FindLineBreak(p, end);
    out.append(run, p);
    if (p == end) break;
    after_cr_ = *p == u'\r';
    ++p;
    out.push_back(u'\r');
    out.push_back(u'\n');
    line_start_ = true;
  }
}

void BodyEncoder::Encode(std::string_view text, std::string& out) {
  char part[MaxEncodedSize(kPartBytes)];
  for (std::size_t at = 0; at < text.size(); at += kPartBytes) {
    const std::string_view piece = text.substr(at, kPartBytes);
    out.append(part, static_cast<std::size_t>(Encode(piece, part) - part));
  }
}

// Text that is already in wire form (CR LF lines, no leading dot) is copied
// as it is, 64 bytes at a time, and only the few bytes that need work are
// looked at one by one: an LF without its CR, a CR without its LF, a dot
// right after a line end. Whether a CR has its LF shows only at the next
// byte, so a CR that ends a block is judged with the next block, and one
// that ends the text is ended at once and the LF that may start the next
// piece is dropped.
char* BodyEncoder::Encode(std::string_view text, char* o) {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return o;
  if (after_cr_) {
    after_cr_ = false;
    if (*p == '\n') ++p;  // the LF of a CR LF already written
    if (p == end) return o;
  }
  const char* const first = p;
  // Of the byte before the block: a line end; a CR still to be judged.
  bool before_break = line_start_;
  bool before_cr = false;

  // Writes the first `size` bytes of block, with the work they need.
  auto encode_block = [&](const char* block, const ByteClasses& c, int size) {
    const std::uint64_t valid = size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
    const std::uint64_t breaks = c.cr | c.lf;
    if (before_cr && (c.lf & 1) == 0) *o++ = '\n';  // the CR before the block was alone
    const std::uint64_t lone_lf = c.lf & ~((c.cr << 1) | std::uint64_t{before_cr});
    const std::uint64_t lone_cr = c.cr & ~(c.lf >> 1) & (valid >> 1);
    const std::uint64_t leading_dot = c.dot & ((breaks << 1) | std::uint64_t{before_break});
    before_break = (breaks >> (size - 1)) & 1;
    before_cr = (c.cr >> (size - 1)) & 1;
    const char* run = block;  // start of the bytes not yet written
    const auto copy_run = [&](const char* to) {
      std::memcpy(o, run, static_cast<std::size_t>(to - run));
      o += to - run;
    };
    for (std::uint64_t work = (lone_lf | lone_cr | leading_dot) & valid; work != 0;
         work &= work - 1) {
      const char* q = block + __builtin_ctzll(work);
      if (*q == '.') {
        copy_run(q);
        *o++ = '.';
        run = q;  // the dot itself goes with the next run
      } else if (*q == '\n') {
        copy_run(q);
        *o++ = '\r';
        *o++ = '\n';
        run = q + 1;
      } else {  // a CR
        copy_run(q + 1);
        *o++ = '\n';
        run = q + 1;
      }
    }
    copy_run(block + size);
  };

  while (end - p >= 64) {
    // Most blocks need nothing: every LF follows a CR, every CR before the
    // last byte is followed by an LF, and no dot follows a line end.
    if (p != first) {
      const char* const from = p;
      p = CopyWireFormBlocks(p, end, o);
      if (p != from) {
        before_break = p[-1] == '\r' || p[-1] == '\n';
        before_cr = p[-1] == '\r';
      }
      if (end - p < 64) break;
    }
    encode_block(p, ClassifyBlock(p), 64);
    p += 64;
  }
  if (p < end) {
    // The rest, classified in a zeroed block: a zero byte needs no work.
    const auto n = static_cast<int>(end - p);
    char block[64] = {};
    std::memcpy(block, p, static_cast<std::size_t>(n));
    encode_block(p, ClassifyBlock(block), n);
  }
  if (before_cr) {  // the text ends with a CR
    *o++ = '\n';
    after_cr_ = true;
  }
  line_start_ = before_break;
  return o;
}

}  // namespace qv
