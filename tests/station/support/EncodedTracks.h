#pragma once

#include <string>
#include <vector>

namespace vorn::station::test {

// Stereo samples, interleaved, at 44.1 kHz.
struct Samples {
    static constexpr int kRate = 44100;
    std::vector<float> data;
};

// About `seconds` of a chord whose notes swell and fade, with a little noise:
// loud throughout, so its gated loudness is steady; the same seed gives the
// same samples. `amplitude` is the peak of the sum (before the noise).
Samples MusicLike(double seconds, double amplitude, unsigned seed);
// A quiet tone (amplitude `quiet`) with a click (two cycles of amplitude
// `click`) every second: its true peak, not its loudness, limits its gain.
Samples QuietWithClicks(double seconds, double quiet, double click);
// A 1 kHz sine of the given peak, the same in both channels.
Samples Sine(double seconds, double amplitude);
// Every sample times the gain in dB.
Samples Louder(const Samples& samples, double db);

enum class TrackFormat { Mp3, Flac, Vorbis };

// Encodes the samples with GStreamer (lamemp3enc, flacenc, vorbisenc in Ogg);
// `mono` keeps only the left channel. False with `error` set.
bool EncodeTrack(const std::string& path, TrackFormat format, const Samples& samples, std::string& error,
                 bool mono = false);

// A picture made by GStreamer: `width` x `height` of one colour (0xRRGGBB),
// encoded by "jpegenc" or "pngenc". Empty when it cannot be made.
std::string MakePicture(int width, int height, unsigned colour, const char* encoder);
// The size of a JPEG from its frame header; false when it has none.
bool JpegSize(const std::string& jpeg, int& width, int& height);

// Tags through TagLib, whatever the format: artist, title and album; a
// picture as the front cover, or else as the back cover (ID3v2 APIC, a FLAC picture block, an Ogg
// METADATA_BLOCK_PICTURE); ReplayGain track gain and peak (ID3v2 TXXX or
// Vorbis comments). False when the file cannot be written.
bool TagTrack(const std::string& path, const std::string& artist, const std::string& title, const std::string& album);
bool EmbedPicture(const std::string& path, const std::string& picture, const std::string& mime, bool front = true);
bool TagReplayGain(const std::string& path, const std::string& gain, const std::string& peak);

}  // namespace vorn::station::test
