#pragma once

#include <cstdint>
#include <string>

namespace vorn::station::test {

// Writes `samples` samples of a test signal (a sine, or "pink-noise" and the
// other waves of audiotestsrc) at `rate` Hz in `channels` channels, encoded by
// GStreamer: `encoder` is the end of a gst-launch-1.0 description, e.g.
// "flacenc", "vorbisenc ! oggmux", "opusenc ! oggmux" or "wavenc". False when
// it cannot be written.
bool WriteEncodedAudio(const std::string& path, const std::string& encoder, std::uint64_t samples, int rate = 44100,
                       int channels = 2, const std::string& wave = "sine");
// Writes the tags of a file in any format TagLib knows.
bool TagAudio(const std::string& path, const std::string& artist, const std::string& title, const std::string& album,
              const std::string& genre);

// What an MP3 file holds, as a player reads it frame by frame.
struct Mp3Facts {
    std::string problem;            // empty when the whole file is a tag and MPEG audio frames
    std::size_t tagBytes = 0;       // the ID3v2 tag before the frames
    std::uint64_t frames = 0;       // audio frames, the Xing frame not counted
    int sampleRate = 0;
    int samplesPerFrame = 0;
    bool xing = false;              // the first frame is a Xing or Info frame
    std::uint64_t xingFrames = 0;   // the frame count it gives
    std::uint64_t xingBytes = 0;    // the byte count it gives

    double Seconds() const {
        return sampleRate == 0 ? 0.0 : static_cast<double>(frames * samplesPerFrame) / sampleRate;
    }
};
// Reads the whole file: every MPEG audio frame (layer III) from the first
// after the ID3v2 tag to the end, where only an ID3v1 tag may follow.
Mp3Facts ReadMp3Facts(const std::string& bytes);

}  // namespace vorn::station::test
