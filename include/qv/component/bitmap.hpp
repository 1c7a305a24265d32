// The library's two images and the device-independent bitmap format they are
// written in (bottom-up rows padded to four bytes, an information header of 40
// bytes, 24 bits a pixel or 4 bits with a 16-colour palette).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "qv/component/export.hpp"

namespace qv::component {

// 0x00RRGGBB.
using Rgb = std::uint32_t;

struct QV_COMPONENT_EXPORT Image24 {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;  // row by row from the top
};

struct QV_COMPONENT_EXPORT Image4 {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> indexes;  // 0..15, row by row from the top
  std::array<Rgb, 16> palette{};
};

// The 16 standard colours, in their usual order (black, dark red, dark green,
// ... , light grey at 7, dark grey at 8, ..., white at 15).
QV_COMPONENT_EXPORT const std::array<Rgb, 16>& StandardPalette();

// A bitmap as a resource holds it: information header, palette, pixels.
QV_COMPONENT_EXPORT std::vector<std::uint8_t> EncodeDib(const Image24& image);
QV_COMPONENT_EXPORT std::vector<std::uint8_t> EncodeDib(const Image4& image);
// The same preceded by the 14-byte file header: a .bmp file.
QV_COMPONENT_EXPORT std::vector<std::uint8_t> EncodeBmpFile(const Image24& image);
QV_COMPONENT_EXPORT std::vector<std::uint8_t> EncodeBmpFile(const Image4& image);

// The toolbox image: 16 x 15 pixels, 24 bits. The design-time picture: 24 x
// 22 pixels, 16 colours. Both a letter M on a raised grey tile.
QV_COMPONENT_EXPORT Image24 ToolboxImage();
QV_COMPONENT_EXPORT Image4 DesignTimePicture();

// The two as .bmp files.
QV_COMPONENT_EXPORT std::vector<std::uint8_t> ToolboxBitmapFile();
QV_COMPONENT_EXPORT std::vector<std::uint8_t> PictureBitmapFile();

}  // namespace qv::component
