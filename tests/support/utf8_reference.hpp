// A slow, obviously correct UTF-8 decoder: the oracle that the library's fast
// decoder is compared with, in the unit tests and in the fuzz target.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv::test_support {

// A second decoder, written for clarity rather than speed: a well-formed
// sequence becomes its code point, any other byte the character of its value.
inline std::u16string ReferenceDecode(std::string_view bytes) {
  std::u16string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      length = 2;
      min = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3;
      min = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      length = 4;
      min = 0x10000;
    }
    bool valid = length > 0 && i + length <= bytes.size();
    char32_t cp = 0;
    if (valid) {
      cp = length == 1 ? lead : lead & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) {
        const unsigned char b = static_cast<unsigned char>(bytes[i + k]);
        if ((b & 0xC0) != 0x80) valid = false;
        cp = (cp << 6) | (b & 0x3F);
      }
      if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) valid = false;
    }
    if (!valid) {
      out.push_back(lead);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += length;
  }
  return out;
}

}  // namespace qv::test_support
