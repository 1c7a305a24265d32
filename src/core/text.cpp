#include "qv/core/text.hpp"

#include <cstdint>
#include <cstring>

#include "core/utf8_sequence.hpp"

namespace qv {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Upper bound of the UTF-8 size: a surrogate pair counts 6 instead of 4, which
// keeps this loop branch-free.
std::size_t Utf8SizeBound(std::u16string_view text) {
  std::size_t size = text.size();
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  while (p < end) {
    // Eight ASCII units at a time add nothing; g++ -O2 does not vectorise the
    // plain loop, and this pass would otherwise cost as much as the encoding.
    if (end - p >= 8) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, p, sizeof a);
      std::memcpy(&b, p + 4, sizeof b);
      if (((a | b) & 0xFF80FF80FF80FF80ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const char16_t c = *p++;
    size += static_cast<std::size_t>(c >= 0x80) + static_cast<std::size_t>(c >= 0x800);
  }
  return size;
}

// Writes the UTF-8 form of text at out, which has room for Utf8SizeBound bytes;
// returns the end of what was written.
char* EncodeUtf8(std::u16string_view text, char* out) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  while (p < end) {
    // Four ASCII units at a time.
    if (end - p >= 4) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0xFF80FF80FF80FF80ULL) == 0) {
        out[0] = static_cast<char>(p[0]);
        out[1] = static_cast<char>(p[1]);
        out[2] = static_cast<char>(p[2]);
        out[3] = static_cast<char>(p[3]);
        out += 4;
        p += 4;
        continue;
      }
    }
    char32_t c = *p++;
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
      continue;
    }
    if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
      continue;
    }
    if (IsHighSurrogate(static_cast<char16_t>(c)) && p < end && IsLowSurrogate(*p)) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(*p++) - 0xDC00);
      *out++ = static_cast<char>(0xF0 | (c >> 18));
      *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = kReplacement;  // lone surrogate
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

using utf8::ExamineSequence;
using utf8::Sequence;
using utf8::SequenceKind;

char16_t* PutCodePoint(char32_t cp, char16_t* out) {
  if (cp < 0x10000) {
    *out++ = static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
    *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
  return out;
}

// Decodes bytes into out, which has room for one unit per byte. When hold_tail
// is set, an incomplete sequence at the end is left undecoded; *consumed tells
// how many bytes were decoded. Returns the end of what was written.
char16_t* DecodeUtf8(const unsigned char* p, std::size_t n, bool hold_tail, char16_t* out,
                     std::size_t* consumed) {
  const unsigned char* const begin = p;
  const unsigned char* const end = p + n;
  while (p < end) {
    // Eight ASCII bytes at a time.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        for (int i = 0; i < 8; ++i) out[i] = p[i];
        out += 8;
        p += 8;
        continue;
      }
    }
    if (*p < 0x80) {
      *out++ = *p++;
      continue;
    }
    const Sequence seq = ExamineSequence(p, static_cast<std::size_t>(end - p));
    if (seq.kind == SequenceKind::kComplete) {
      out = PutCodePoint(seq.code_point, out);
      p += seq.length;
    } else if (seq.kind == SequenceKind::kIncomplete && hold_tail) {
      break;
    } else {
      *out++ = *p++;  // the byte stands for itself
    }
  }
  *consumed = static_cast<std::size_t>(p - begin);
  return out;
}

}  // namespace

void AppendUtf8(std::u16string_view text, std::string& out) {
  const std::size_t old_size = out.size();
  out.resize(old_size + Utf8SizeBound(text));
  char* const end = EncodeUtf8(text, out.data() + old_size);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  AppendUtf8(text, out);
  return out;
}

String FromUtf8(std::string_view bytes) {
  String out;
  out.resize(bytes.size());
  std::size_t consumed = 0;
  char16_t* const end =
      DecodeUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                 /*hold_tail=*/false, out.data(), &consumed);
  out.resize(static_cast<std::size_t>(end - out.data()));
  return out;
}

void Utf8StreamDecoder::Decode(std::string_view bytes, String& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();

  // Finish the held-back sequence one byte at a time: it either completes, or
  // breaks and its first byte stands for itself while the rest is looked at again.
  while (pending_size_ > 0) {
    const Sequence seq = ExamineSequence(pending_, pending_size_);
    if (seq.kind == SequenceKind::kIncomplete) {
      if (n == 0) return;
      pending_[pending_size_++] = *p++;
      --n;
      continue;
    }
    if (seq.kind == SequenceKind::kComplete) {
      char16_t units[2];
      out.append(units, PutCodePoint(seq.code_point, units));
      pending_size_ = 0;
    } else {
      out.push_back(pending_[0]);
      std::memmove(pending_, pending_ + 1, pending_size_ - 1);
      --pending_size_;
    }
  }

  const std::size_t old_size = out.size();
  out.resize(old_size + n);
  std::size_t consumed = 0;
  char16_t* const end = DecodeUtf8(p, n, /*hold_tail=*/true, out.data() + old_size, &consumed);
  out.resize(static_cast<std::size_t>(end - out.data()));
  for (std::size_t i = consumed; i < n; ++i) pending_[pending_size_++] = p[i];
}

void Utf8StreamDecoder::Flush(String& out) {
  for (std::size_t i = 0; i < pending_size_; ++i) out.push_back(pending_[i]);
  pending_size_ = 0;
}

}  // namespace qv
