#pragma once

#include <string>

namespace vorn::test {

// Writes `seconds` of a sine tone (mono, 44.1 kHz, in 10 ms steps, of peak
// `amplitude` in full scale) as an MP3 file through GStreamer's own encoder.
// False when the encoder fails or takes longer than 60 s.
bool WriteToneMp3(const std::string& path, double seconds, double amplitude = 0.8);

}  // namespace vorn::test
