#include "station/catalogue/AudioFormat.h"

#include <gtest/gtest.h>

namespace vorn::station::test {
namespace {

using namespace std::string_view_literals;

// Three MPEG-1 frames of 128 kbit/s at 44.1 kHz (417 bytes each) of `layer`
// (1: III, 2: II) after `padding` bytes that are no frame.
std::string MpegFrames(int layer, std::size_t padding = 0) {
    std::string frame(417, '\0');
    frame[0] = static_cast<char>(0xFF);
    frame[1] = static_cast<char>(0xF9 | (layer << 1));
    frame[2] = static_cast<char>(layer == 1 ? 0x90 : 0x80);  // 128 kbit/s is index 9 in III, 8 in II
    return std::string(padding, 'x') + frame + frame + frame;
}

// The catalogue goes by a file's content, whatever its name says.
TEST(AudioFormatTest, FormatsAreToldByTheirFirstBytes) {
    EXPECT_EQ(SniffAudioFormat(MpegFrames(1)), "mp3");
    EXPECT_EQ(SniffAudioFormat(MpegFrames(1, 300)), "mp3");
    EXPECT_EQ(SniffAudioFormat(MpegFrames(2)), "mp2");
    EXPECT_EQ(SniffAudioFormat(MpegFrames(1).substr(0, 417)), "");  // one frame could be chance
    std::string ogg = "OggS" + std::string(22, '\0') + '\x01' + '\x13' + "OpusHead";
    EXPECT_EQ(SniffAudioFormat(ogg), "opus");
    ogg[27] = '\x1e';
    EXPECT_EQ(SniffAudioFormat(ogg.substr(0, 28) + "\x01vorbis"), "ogg");
    EXPECT_EQ(SniffAudioFormat("RIFF\x24\0\0\0WAVEfmt "sv), "wav");
    EXPECT_EQ(SniffAudioFormat("fLaC\0\0\0\x22"sv), "flac");
    EXPECT_EQ(SniffAudioFormat("\0\0\0\x20" "ftypM4A "sv), "m4a");
    EXPECT_EQ(SniffAudioFormat("these are notes"), "");

    // An ID3v2 tag's size: syncsafe, with its footer; none for a damaged header.
    EXPECT_EQ(Id3v2Size(std::string("ID3\x04\0\0\0\0\x01\x7f", 10)), 10u + 255u);
    EXPECT_EQ(Id3v2Size(std::string("ID3\x04\0\x10\0\0\0\x01", 10)), 10u + 1u + 10u);
    EXPECT_EQ(Id3v2Size(std::string("ID3\x04\0\0\0\0\x80\0", 10)), 0u);
    EXPECT_TRUE(HasAudioName("/music/A.Band/Song.FLAC"));
    EXPECT_FALSE(HasAudioName("/music/folder.mp3/cover.jpg"));
}

}  // namespace
}  // namespace vorn::station::test
