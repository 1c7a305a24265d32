// The toolbox image and design-time picture, and the bitmap format they are
// written in.
#include "qv/component/bitmap.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace qv::component {
namespace {

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

struct Header {
  std::uint32_t file_size, offset, info_size, width, height, image_size, colours_used;
  std::uint16_t planes, bits;
  std::uint32_t compression;
};

Header ReadHeader(const std::vector<std::uint8_t>& file) {
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  return {U32(file, 2),  U32(file, 10), U32(file, 14), U32(file, 18), U32(file, 22),
          U32(file, 34), U32(file, 46), U16(file, 26), U16(file, 28), U32(file, 30)};
}

TEST(Bitmaps, ToolboxImageIs16By15At24Bits) {
  const auto file = ToolboxBitmapFile();
  const Header h = ReadHeader(file);
  EXPECT_EQ(h.width, 16u);
  EXPECT_EQ(h.height, 15u);
  EXPECT_EQ(h.bits, 24);
  EXPECT_EQ(h.planes, 1);
  EXPECT_EQ(h.compression, 0u);
  EXPECT_EQ(h.info_size, 40u);
  EXPECT_EQ(h.colours_used, 0u);
  EXPECT_EQ(h.offset, 54u);  // no palette
  EXPECT_EQ(h.image_size, 48u * 15);
  EXPECT_EQ(h.file_size, file.size());
  EXPECT_EQ(file.size(), 54u + 48 * 15);
}

TEST(Bitmaps, PictureIs24By22In16Colours) {
  const auto file = PictureBitmapFile();
  const Header h = ReadHeader(file);
  EXPECT_EQ(h.width, 24u);
  EXPECT_EQ(h.height, 22u);
  EXPECT_EQ(h.bits, 4);
  EXPECT_EQ(h.colours_used, 16u);
  EXPECT_EQ(h.offset, 54u + 64);
  EXPECT_EQ(h.image_size, 12u * 22);
  EXPECT_EQ(h.file_size, file.size());
  for (std::size_t i = 0; i < 16; ++i) {
    const Rgb colour = StandardPalette()[i];
    EXPECT_EQ(file[54 + 4 * i], colour & 0xFF);  // blue first
    EXPECT_EQ(file[54 + 4 * i + 1], (colour >> 8) & 0xFF);
    EXPECT_EQ(file[54 + 4 * i + 2], (colour >> 16) & 0xFF);
    EXPECT_EQ(file[54 + 4 * i + 3], 0);
  }
}

TEST(Bitmaps, RowsArePaddedAndStoredBottomUp) {
  // 3 pixels of 24 bits: 9 bytes and 3 of padding a row.
  const Image24 wide{3, 2, {0x112233, 0x445566, 0x778899, 0xAABBCC, 0xDDEEFF, 0x010203}};
  const auto dib = EncodeDib(wide);
  ASSERT_EQ(dib.size(), 40u + 2 * 12);
  const std::vector<std::uint8_t> rows(dib.begin() + 40, dib.end());
  const std::vector<std::uint8_t> expected = {
      0xCC, 0xBB, 0xAA, 0xFF, 0xEE, 0xDD, 0x03, 0x02, 0x01, 0, 0, 0,  // bottom row first
      0x33, 0x22, 0x11, 0x66, 0x55, 0x44, 0x99, 0x88, 0x77, 0, 0, 0,
  };
  EXPECT_EQ(rows, expected);

  // 5 pixels of 4 bits: 3 bytes (the last nibble zero) and 1 of padding.
  Image4 narrow{5, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, StandardPalette()};
  const auto dib4 = EncodeDib(narrow);
  ASSERT_EQ(dib4.size(), 40u + 64 + 2 * 4);
  const std::vector<std::uint8_t> rows4(dib4.begin() + 104, dib4.end());
  EXPECT_EQ(rows4, (std::vector<std::uint8_t>{0x67, 0x89, 0xA0, 0, 0x12, 0x34, 0x50, 0}));
}

// Both images: a raised tile (lit top left, shadowed bottom right) with a
// letter of another colour on its grey face.
template <typename Pixel>
void ExpectTileWithLetter(int width, int height, Pixel at, Rgb light, Rgb face) {
  EXPECT_TRUE(at(1, 1) == light || at(0, 0) == light);
  EXPECT_EQ(at(width - 1, height - 1), 0x000000u);  // black shadow corner
  int face_pixels = 0;
  int letter_pixels = 0;
  for (int y = 2; y < height - 2; ++y) {
    for (int x = 2; x < width - 2; ++x) {
      if (at(x, y) == face) {
        ++face_pixels;
      } else {
        ++letter_pixels;
      }
    }
  }
  EXPECT_GT(letter_pixels, 10);
  EXPECT_GT(face_pixels, letter_pixels);
}

TEST(Bitmaps, BothShowALetterOnARaisedGreyTile) {
  const Image24 toolbox = ToolboxImage();
  ExpectTileWithLetter(
      toolbox.width, toolbox.height,
      [&](int x, int y) { return toolbox.pixels[static_cast<std::size_t>(y * toolbox.width + x)]; },
      0xFFFFFF, 0xC0C0C0);
  const Image4 picture = DesignTimePicture();
  ExpectTileWithLetter(
      picture.width, picture.height,
      [&](int x, int y) {
        return picture.palette[picture.indexes[static_cast<std::size_t>(y * picture.width + x)]];
      },
      0xFFFFFF, 0xC0C0C0);
}

// The files as a standard tool reads them; skipped where no tool is installed.
class BitmapFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-bitmaps-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    Write(folder_ / "toolbox.bmp", ToolboxBitmapFile());
    Write(folder_ / "picture.bmp", PictureBitmapFile());
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  static void Write(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  static std::string Run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    ::pclose(pipe);
    return output;
  }

  std::filesystem::path folder_;
};

TEST_F(BitmapFiles, FileRecognisesThem) {
  if (::access("/usr/bin/file", X_OK) != 0) GTEST_SKIP() << "file(1) is not installed";
  const std::string toolbox = Run("/usr/bin/file -b " + (folder_ / "toolbox.bmp").string());
  EXPECT_NE(toolbox.find("PC bitmap"), std::string::npos) << toolbox;
  EXPECT_NE(toolbox.find("16 x 15 x 24"), std::string::npos) << toolbox;
  const std::string picture = Run("/usr/bin/file -b " + (folder_ / "picture.bmp").string());
  EXPECT_NE(picture.find("PC bitmap"), std::string::npos) << picture;
  EXPECT_NE(picture.find("24 x 22 x 4"), std::string::npos) << picture;
}

TEST_F(BitmapFiles, AnImageLibraryDecodesThem) {
  if (Run("/usr/bin/python3 -c 'import PIL' 2>&1 && echo ok").find("ok") == std::string::npos) {
    GTEST_SKIP() << "python3-pil is not installed";
  }
  const std::string script =
      "import sys\nfrom PIL import Image\n"
      "for name in sys.argv[1:]:\n"
      "    im = Image.open(name); im.load()\n"
      "    print(im.format, im.size[0], im.size[1], im.mode, len(im.getcolors(256) or []))\n";
  const std::string output =
      Run("/usr/bin/python3 -c '" + script + "' " + (folder_ / "toolbox.bmp").string() + " " +
          (folder_ / "picture.bmp").string() + " 2>&1");
  EXPECT_NE(output.find("BMP 16 15 RGB "), std::string::npos) << output;
  EXPECT_NE(output.find("BMP 24 22 P "), std::string::npos) << output;
}

}  // namespace
}  // namespace qv::component
