// Globally unique identifiers (class, interface and library identifiers), laid
// out as the component model lays them out in memory, so that a Guid can cross
// the C entry points unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qv/component/export.hpp"

namespace qv::component {

struct QV_COMPONENT_EXPORT Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};

  friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

namespace detail {
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace detail

// Reads "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without the braces,
// digits in either case. Empty for anything else.
constexpr std::optional<Guid> ParseGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  std::uint8_t bytes[16] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 16; ++i) {
    if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    const int high = detail::HexDigit(text[pos]);
    const int low = detail::HexDigit(text[pos + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    pos += 2;
  }
  Guid guid;
  guid.data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
               (std::uint32_t{bytes[2]} << 8) | bytes[3];
  guid.data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  guid.data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

// A Guid from a literal; a malformed literal does not compile.
consteval Guid MakeGuid(std::string_view text) {
  const auto guid = ParseGuid(text);
  if (!guid) throw "malformed GUID literal";
  return *guid;
}

// "{2D48963F-BC81-11D2-B1A5-00A02454227A}": braces, upper case.
QV_COMPONENT_EXPORT std::string ToString(const Guid& guid);

// The sixteen bytes as they lie in memory: data1 to data3 little-endian, then
// data4 as it is.
QV_COMPONENT_EXPORT std::array<std::uint8_t, 16> ToBytes(const Guid& guid);

}  // namespace qv::component
