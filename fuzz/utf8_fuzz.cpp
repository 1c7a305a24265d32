// The UTF-8 decoder and encoder: the whole-text and the streaming decoder agree
// however the bytes are split, every byte is accounted for, and valid UTF-8
// survives a round trip unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "qv/core/text.hpp"
#include "support/utf8_reference.hpp"

namespace {

using qv::test_support::ReferenceDecode;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsValidUtf8(std::string_view bytes) {
  const std::u16string decoded = ReferenceDecode(bytes);
  // Valid exactly when no byte had to stand for itself: re-encoding the code
  // points then gives the same number of bytes.
  std::size_t encoded = 0;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const char16_t c = decoded[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      encoded += 4;
      ++i;
    } else {
      encoded += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    }
  }
  return encoded == bytes.size();
}

// UTF-16 with each lone surrogate replaced, as the encoder writes it.
std::u16string WithoutLoneSurrogates(std::u16string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out.push_back(c);
      out.push_back(text[++i]);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out.push_back(0xFFFD);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte sets how many split points follow (each one byte, a piece
  // length); the rest is the text.
  std::vector<std::size_t> pieces;
  std::size_t pos = 0;
  if (size > 0) {
    const std::size_t count = data[0] % 16;
    pos = 1;
    for (std::size_t i = 0; i < count && pos < size; ++i) pieces.push_back(data[pos++]);
  }
  const std::string_view bytes(reinterpret_cast<const char*>(data) + pos, size - pos);

  const qv::String whole = qv::FromUtf8(bytes);
  Check(whole.size() <= bytes.size());
  Check(whole == ReferenceDecode(bytes));

  // The same bytes in pieces, the last piece being whatever is left.
  qv::Utf8StreamDecoder decoder;
  qv::String streamed = u"prefix";
  std::size_t offset = 0;
  for (std::size_t length : pieces) {
    length = std::min(length, bytes.size() - offset);
    decoder.Decode(bytes.substr(offset, length), streamed);
    Check(decoder.pending() <= 3);
    offset += length;
  }
  decoder.Decode(bytes.substr(offset), streamed);
  Check(decoder.pending() <= 3);
  decoder.Flush(streamed);
  Check(decoder.pending() == 0);
  Check(streamed.compare(0, 6, u"prefix") == 0);
  Check(std::u16string_view(streamed).substr(6) == whole);

  if (IsValidUtf8(bytes)) {
    Check(qv::ToUtf8(whole) == bytes);
  }

  // The bytes read as UTF-16 units: encoding and decoding again gives them
  // back, lone surrogates replaced.
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  }
  std::string encoded = "x";
  qv::AppendUtf8(units, encoded);
  Check(encoded[0] == 'x');
  const std::string_view encoded_text = std::string_view(encoded).substr(1);
  Check(encoded_text == qv::ToUtf8(units));
  Check(IsValidUtf8(encoded_text));
  Check(qv::FromUtf8(encoded_text) == WithoutLoneSurrogates(units));
  return 0;
}
