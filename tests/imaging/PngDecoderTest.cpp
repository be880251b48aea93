#include "imaging/PngDecoder.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "tests/support/TempDir.h"

namespace vorn {
namespace {

// Writes a PNG with libpng's own writer, so the decoder is checked against an
// independent encoder. `pixels` are in the given libpng format, rows from the top.
void WritePng(const std::string& path, int width, int height, png_uint_32 format,
              const std::vector<std::uint8_t>& pixels) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width);
    png.height = static_cast<png_uint_32>(height);
    png.format = format;
    ASSERT_NE(png_image_write_to_file(&png, path.c_str(), 0, pixels.data(), 0, nullptr), 0)
        << png.message;
}

std::vector<std::uint8_t> PixelAt(const DecodedImage& image, int x, int y) {
    const std::uint8_t* p = image.Row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

TEST(PngDecoderTest, RgbaComesOutAsBlueGreenRedAlphaRowsFromTheTop) {
    test::TempDir dir;
    // 3 x 2, RGBA: distinct values everywhere, including partial alpha.
    std::vector<std::uint8_t> rgba = {
        10, 20, 30, 255,   40, 50, 60, 128,   70, 80, 90, 0,
        200, 100, 50, 1,   1, 2, 3, 254,      255, 255, 255, 255,
    };
    WritePng(dir / "a.png", 3, 2, PNG_FORMAT_RGBA, rgba);

    DecodedImage image;
    std::string error = "stale";
    ASSERT_EQ(PngDecoder::Decode(dir / "a.png", image, error), PngDecoder::kOk);
    EXPECT_TRUE(error.empty());
    ASSERT_EQ(image.width, 3);
    ASSERT_EQ(image.height, 2);
    ASSERT_EQ(image.pixels.size(), 24u);
    EXPECT_EQ(PixelAt(image, 0, 0), (std::vector<std::uint8_t>{30, 20, 10, 255}));
    EXPECT_EQ(PixelAt(image, 1, 0), (std::vector<std::uint8_t>{60, 50, 40, 128}));
    EXPECT_EQ(PixelAt(image, 2, 0), (std::vector<std::uint8_t>{90, 80, 70, 0}));
    EXPECT_EQ(PixelAt(image, 0, 1), (std::vector<std::uint8_t>{50, 100, 200, 1}));
    EXPECT_EQ(PixelAt(image, 1, 1), (std::vector<std::uint8_t>{3, 2, 1, 254}));
    EXPECT_EQ(PixelAt(image, 2, 1), (std::vector<std::uint8_t>{255, 255, 255, 255}));
}

TEST(PngDecoderTest, PicturesWithoutAlphaComeOutOpaque) {
    test::TempDir dir;
    WritePng(dir / "rgb.png", 2, 1, PNG_FORMAT_RGB, {1, 2, 3, 4, 5, 6});
    WritePng(dir / "gray.png", 2, 1, PNG_FORMAT_GRAY, {7, 250});

    DecodedImage image;
    std::string error;
    ASSERT_EQ(PngDecoder::Decode(dir / "rgb.png", image, error), PngDecoder::kOk);
    EXPECT_EQ(PixelAt(image, 0, 0), (std::vector<std::uint8_t>{3, 2, 1, 255}));
    EXPECT_EQ(PixelAt(image, 1, 0), (std::vector<std::uint8_t>{6, 5, 4, 255}));

    ASSERT_EQ(PngDecoder::Decode(dir / "gray.png", image, error), PngDecoder::kOk);
    EXPECT_EQ(PixelAt(image, 0, 0), (std::vector<std::uint8_t>{7, 7, 7, 255}));
    EXPECT_EQ(PixelAt(image, 1, 0), (std::vector<std::uint8_t>{250, 250, 250, 255}));
}

TEST(PngDecoderTest, MissingFileFailsWithTheOpeningMessage) {
    test::TempDir dir;
    DecodedImage image;
    image.width = 5;
    std::string error;
    std::string detail;
    const std::string path = dir / "no such.png";
    EXPECT_EQ(PngDecoder::Decode(path, image, error, &detail), PngDecoder::kOpenFailed);
    EXPECT_EQ(error, "Opening " + path + " failed");
    EXPECT_FALSE(detail.empty());
    EXPECT_EQ(image.width, 0);
    EXPECT_TRUE(image.pixels.empty());
}

TEST(PngDecoderTest, DamagedFilesFailCleanly) {
    test::TempDir dir;
    std::vector<std::uint8_t> rgba(16 * 16 * 4, 77);
    WritePng(dir / "good.png", 16, 16, PNG_FORMAT_RGBA, rgba);
    std::ifstream in(dir / "good.png", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 60u);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty.png", ""},
        {"text.png", "this is not a picture at all"},
        {"truncated.png", bytes.substr(0, bytes.size() / 2)},
        {"header only.png", bytes.substr(0, 8)},
    };
    for (const auto& [name, content] : cases) {
        std::ofstream(dir / name, std::ios::binary) << content;
        DecodedImage image;
        std::string error;
        EXPECT_EQ(PngDecoder::Decode(dir / name, image, error), PngDecoder::kDecodeFailed)
            << name;
        EXPECT_EQ(error, "Opening " + (dir / name) + " failed") << name;
        EXPECT_TRUE(image.pixels.empty()) << name;
    }
}

// An 80-byte file whose text chunk claims 452984839 bytes (found by fuzzing):
// refused from the file's own size, before libpng allocates the claimed length.
TEST(PngDecoderTest, AChunkLongerThanTheFileIsRefusedBeforeItIsRead) {
    test::TempDir dir;
    const std::string bytes(
        "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x01\xae\x00\x00\x00\x82"
        "\x08\x06\x00\x00\x00\x1e\xec\x2c\x63\x00\x00\x00\x09\x70\x48\x59\x73\x60\x00\x00\x0e\xc4\x00\x00"
        "\x0e\xc4\x0b\x95\x2b\x06\x1b\x00\x00\x07\x7a\x54\x58\x74\x54\x78\x00\x00\x00\xbd",
        68);
    std::ofstream(dir / "long chunk.png", std::ios::binary) << bytes;
    DecodedImage image;
    std::string error;
    std::string detail;
    EXPECT_EQ(PngDecoder::Decode(dir / "long chunk.png", image, error, &detail), PngDecoder::kDecodeFailed);
    EXPECT_EQ(detail, PngDecoder::kChunkTooLong);
    EXPECT_EQ(error, "Opening " + (dir / "long chunk.png") + " failed");
    EXPECT_TRUE(image.pixels.empty());
}

}  // namespace
}  // namespace vorn
