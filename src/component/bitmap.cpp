#include "qv/component/bitmap.hpp"

#include <string_view>

namespace qv::component {
namespace {

constexpr std::uint8_t kBlack = 0;
constexpr std::uint8_t kNavy = 4;
constexpr std::uint8_t kLightGrey = 7;
constexpr std::uint8_t kDarkGrey = 8;
constexpr std::uint8_t kWhite = 15;

constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::size_t kFileHeaderSize = 14;

constexpr std::array<Rgb, 16> kStandardPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

// 'X' marks the letter's pixels.
constexpr std::array<std::string_view, 7> kSmallM = {
    "X.....X", "XX...XX", "X.X.X.X", "X..X..X", "X.....X", "X.....X", "X.....X",
};
constexpr std::array<std::string_view, 11> kLargeM = {
    "XX......XX", "XXX....XXX", "XXXX..XXXX", "XX.XXXX.XX", "XX..XX..XX", "XX......XX",
    "XX......XX", "XX......XX", "XX......XX", "XX......XX", "XX......XX",
};

struct Canvas {
  int width;
  int height;
  std::vector<std::uint8_t> indexes;

  Canvas(int w, int h)
      : width(w), height(h), indexes(static_cast<std::size_t>(w * h), kLightGrey) {}
  void Set(int x, int y, std::uint8_t index) {
    indexes[static_cast<std::size_t>(y * width + x)] = index;
  }
};

// A raised tile over the whole canvas: bevel of the given depth, lit from the
// top left, then the letter centred on the face.
template <std::size_t Rows>
Canvas DrawTile(int width, int height, int bevel, const std::array<std::string_view, Rows>& glyph) {
  Canvas canvas(width, height);
  for (int depth = 0; depth < bevel; ++depth) {
    const bool outer = depth == 0;
    const std::uint8_t light = outer && bevel > 1 ? kLightGrey : kWhite;
    const std::uint8_t shadow = outer ? kBlack : kDarkGrey;
    for (int x = depth; x < width - depth; ++x) {
      canvas.Set(x, depth, light);
      canvas.Set(x, height - 1 - depth, shadow);
    }
    for (int y = depth; y < height - depth; ++y) {
      canvas.Set(depth, y, light);
      canvas.Set(width - 1 - depth, y, shadow);
    }
    // The far corners belong to the shadow.
    canvas.Set(width - 1 - depth, depth, shadow);
    canvas.Set(depth, height - 1 - depth, shadow);
  }
  if (bevel == 1) {
    // A single bevel still gets its inner shadow line.
    for (int x = 1; x < width - 1; ++x) canvas.Set(x, height - 2, kDarkGrey);
    for (int y = 1; y < height - 1; ++y) canvas.Set(width - 2, y, kDarkGrey);
  }
  const int face_left = bevel;
  const int face_top = bevel;
  const int face_width = width - 2 * bevel - (bevel == 1 ? 1 : 0);
  const int face_height = height - 2 * bevel - (bevel == 1 ? 1 : 0);
  const int glyph_width = static_cast<int>(glyph[0].size());
  const int glyph_height = static_cast<int>(Rows);
  const int left = face_left + (face_width - glyph_width) / 2;
  const int top = face_top + (face_height - glyph_height) / 2;
  for (int y = 0; y < glyph_height; ++y) {
    for (int x = 0; x < glyph_width; ++x) {
      if (glyph[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] == 'X') {
        canvas.Set(left + x, top + y, kNavy);
      }
    }
  }
  return canvas;
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

std::size_t Stride(int width, int bits) {
  return ((static_cast<std::size_t>(width) * static_cast<std::size_t>(bits) + 31) / 32) * 4;
}

void PutInfoHeader(std::vector<std::uint8_t>& out, int width, int height, int bits,
                   std::uint32_t colours_used) {
  Put32(out, kInfoHeaderSize);
  Put32(out, static_cast<std::uint32_t>(width));
  Put32(out, static_cast<std::uint32_t>(height));  // positive: rows bottom-up
  Put16(out, 1);                                   // planes
  Put16(out, static_cast<std::uint32_t>(bits));
  Put32(out, 0);  // no compression
  Put32(out, static_cast<std::uint32_t>(Stride(width, bits) * static_cast<std::size_t>(height)));
  Put32(out, 3780);  // 96 dots an inch
  Put32(out, 3780);
  Put32(out, colours_used);
  Put32(out, 0);
}

std::vector<std::uint8_t> WithFileHeader(std::vector<std::uint8_t> dib, std::size_t palette_bytes) {
  std::vector<std::uint8_t> file;
  file.reserve(kFileHeaderSize + dib.size());
  file.push_back('B');
  file.push_back('M');
  Put32(file, static_cast<std::uint32_t>(kFileHeaderSize + dib.size()));
  Put32(file, 0);
  Put32(file, static_cast<std::uint32_t>(kFileHeaderSize + kInfoHeaderSize + palette_bytes));
  file.insert(file.end(), dib.begin(), dib.end());
  return file;
}

}  // namespace

const std::array<Rgb, 16>& StandardPalette() { return kStandardPalette; }

std::vector<std::uint8_t> EncodeDib(const Image24& image) {
  std::vector<std::uint8_t> out;
  PutInfoHeader(out, image.width, image.height, 24, 0);
  const std::size_t stride = Stride(image.width, 24);
  for (int y = image.height - 1; y >= 0; --y) {
    const std::size_t row_start = out.size();
    for (int x = 0; x < image.width; ++x) {
      const Rgb colour = image.pixels[static_cast<std::size_t>(y * image.width + x)];
      out.push_back(static_cast<std::uint8_t>(colour));        // blue
      out.push_back(static_cast<std::uint8_t>(colour >> 8));   // green
      out.push_back(static_cast<std::uint8_t>(colour >> 16));  // red
    }
    out.resize(row_start + stride, 0);
  }
  return out;
}

std::vector<std::uint8_t> EncodeDib(const Image4& image) {
  std::vector<std::uint8_t> out;
  PutInfoHeader(out, image.width, image.height, 4, 16);
  for (const Rgb colour : image.palette) Put32(out, colour & 0xFFFFFF);  // B, G, R, 0
  const std::size_t stride = Stride(image.width, 4);
  for (int y = image.height - 1; y >= 0; --y) {
    const std::size_t row_start = out.size();
    for (int x = 0; x < image.width; x += 2) {
      const std::size_t at = static_cast<std::size_t>(y * image.width + x);
      const std::uint8_t high = image.indexes[at] & 0x0F;
      const std::uint8_t low = x + 1 < image.width ? (image.indexes[at + 1] & 0x0F) : 0;
      out.push_back(static_cast<std::uint8_t>((high << 4) | low));
    }
    out.resize(row_start + stride, 0);
  }
  return out;
}

std::vector<std::uint8_t> EncodeBmpFile(const Image24& image) {
  return WithFileHeader(EncodeDib(image), 0);
}

std::vector<std::uint8_t> EncodeBmpFile(const Image4& image) {
  return WithFileHeader(EncodeDib(image), 16 * 4);
}

Image24 ToolboxImage() {
  const Canvas canvas = DrawTile(16, 15, 1, kSmallM);
  Image24 image{canvas.width, canvas.height, {}};
  image.pixels.reserve(canvas.indexes.size());
  for (const std::uint8_t index : canvas.indexes) image.pixels.push_back(kStandardPalette[index]);
  return image;
}

Image4 DesignTimePicture() {
  Canvas canvas = DrawTile(24, 22, 2, kLargeM);
  return Image4{canvas.width, canvas.height, std::move(canvas.indexes), kStandardPalette};
}

std::vector<std::uint8_t> ToolboxBitmapFile() { return EncodeBmpFile(ToolboxImage()); }

std::vector<std::uint8_t> PictureBitmapFile() { return EncodeBmpFile(DesignTimePicture()); }

}  // namespace qv::component
