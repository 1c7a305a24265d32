#include "qv/component/guid.hpp"

#include <cstdio>

namespace qv::component {

std::string ToString(const Guid& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.data1), unsigned{guid.data2}, unsigned{guid.data3},
                unsigned{guid.data4[0]}, unsigned{guid.data4[1]}, unsigned{guid.data4[2]},
                unsigned{guid.data4[3]}, unsigned{guid.data4[4]}, unsigned{guid.data4[5]},
                unsigned{guid.data4[6]}, unsigned{guid.data4[7]});
  return text;
}

std::array<std::uint8_t, 16> ToBytes(const Guid& guid) {
  std::array<std::uint8_t, 16> bytes{};
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(guid.data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) {
    bytes[4 + i] = static_cast<std::uint8_t>(guid.data2 >> (8 * i));
    bytes[6 + i] = static_cast<std::uint8_t>(guid.data3 >> (8 * i));
  }
  for (int i = 0; i < 8; ++i) bytes[8 + i] = guid.data4[i];
  return bytes;
}

}  // namespace qv::component
