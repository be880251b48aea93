#pragma once

#include <atomic>
#include <string>

namespace vorn::station {

// A track's loudness: EBU R128 integrated loudness and true peak.
struct Loudness {
    double integratedLufs = 0;
    double truePeakDbtp = 0;
};

// The loudness level every track is brought to: -18 LUFS, the reference of
// ReplayGain 2.
inline constexpr double kReferenceLufs = -18.0;
// The true peak a track may reach after its gain.
inline constexpr double kCeilingDbtp = -1.0;
// The most a track is raised: a very quiet track raised further would bring
// up its noise rather than its music.
inline constexpr double kMostGainDb = 20.0;

// The gain that brings a track to the reference loudness, limited so that its
// true peak stays below the ceiling also once the gain is rounded to a tenth
// of a dB (GainText), and to kMostGainDb.
double LevellingGain(const Loudness& loudness);

// Measures a file's loudness as a listener hears it: the audio decoded by
// GStreamer (any format its plugins decode), folded to at most two channels
// (a mono track counts as played on both speakers), measured with libebur128
// (integrated loudness, and the true peak with 4x oversampling). Runs on the
// caller's thread with the decoding in low-priority threads of its own, in a
// decoding worker where the station has them (DecodeWorker).
class LoudnessMeter {
public:
    // False with `error` set when the file cannot be decoded, holds no audio
    // or nothing above the loudness gate (silence), crashed the decoding
    // worker, or `stop` was set.
    static bool Measure(const std::string& path, const std::atomic<bool>& stop, Loudness& out, std::string& error);
    // The same in the calling process.
    static bool MeasureHere(const std::string& path, const std::atomic<bool>& stop, Loudness& out,
                            std::string& error);
    // A decoding worker's answer to a request for the file's loudness: measured here.
    static std::string Answer(const std::string& path);

    static constexpr char kRequest = 'L';
};

}  // namespace vorn::station
