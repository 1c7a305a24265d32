// Library-internal: the one check of a UTF-8 sequence, shared by the text
// conversions and by the stores that report bytes they cannot use. Not
// installed.
#pragma once

#include <cstddef>

namespace qv::utf8 {

enum class SequenceKind { kComplete, kInvalid, kIncomplete };

struct Sequence {
  SequenceKind kind;
  std::size_t length;  // bytes of a complete sequence
  char32_t code_point;
};

// Examines the sequence that starts at p (avail > 0 bytes available). Only the
// well-formed forms are complete: no overlong forms, no surrogates, nothing
// above U+10FFFF. kIncomplete: the bytes so far begin a valid sequence that
// needs more than avail bytes.
inline Sequence ExamineSequence(const unsigned char* p, std::size_t avail) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return {SequenceKind::kComplete, 1, lead};
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t cp;
  if (lead < 0xC2) {
    return {SequenceKind::kInvalid, 0, 0};
  } else if (lead < 0xE0) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead < 0xF0) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead < 0xF5) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {SequenceKind::kInvalid, 0, 0};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= avail) return {SequenceKind::kIncomplete, 0, 0};
    const unsigned char b = p[i];
    if (b < low || b > high) return {SequenceKind::kInvalid, 0, 0};
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {SequenceKind::kComplete, length, cp};
}

// Length of the complete sequence at bytes[i], or 0 when there is none.
inline std::size_t CompleteSequenceLength(const char* bytes, std::size_t size, std::size_t i) {
  const Sequence sequence =
      ExamineSequence(reinterpret_cast<const unsigned char*>(bytes) + i, size - i);
  return sequence.kind == SequenceKind::kComplete ? sequence.length : 0;
}

}  // namespace qv::utf8
