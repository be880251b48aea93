#pragma once

#include <string>

#include "station/media/LoudnessMeter.h"

namespace vorn::station {

// The loudness a file's ReplayGain tags give: REPLAYGAIN_TRACK_GAIN and
// REPLAYGAIN_TRACK_PEAK in ID3v2 (TXXX), APE or Vorbis comments, or the
// freeform items of an MP4 file, read with TagLib. The gain is taken to the
// reference of -18 LUFS (integrated = -18 - gain) and the peak, a linear
// sample peak, stands in for the true peak.
class ReplayGainTags {
public:
    // False when the file has no usable pair of tags: the gain or the peak is
    // missing or holds no plausible number (then `problem` says which, for a log line).
    static bool Read(const std::string& path, Loudness& out, std::string& problem);
};

}  // namespace vorn::station
