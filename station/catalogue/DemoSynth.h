#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::station {

// One synthesised demo track: tags and mono 16-bit samples.
struct DemoTrack {
    std::string artist;
    std::string title;
    std::string album;
    std::string genre;
    int number = 0;  // track number on its album
    int year = 0;
    int sampleRate = 0;
    std::vector<std::int16_t> samples;
};

inline constexpr int kDemoSampleRate = 32000;

// The track at `index` (0-based) of a demo library. Six made-up artists take
// turns, each with its own genre, tempo, scale, chord progressions and sounds
// (FM and additive voices with envelopes, plucked strings, drums from noise
// and swept sines); chords and melody come from a generator seeded by the
// index, so the same index always gives the same track. 20 to 40 seconds long,
// or about `seconds` when that is above 0 (rounded up to a whole bar, plus the
// last notes' release): short tracks for tests, long ones for benchmarks.
DemoTrack SynthesiseDemoTrack(int index, int seconds = 0);

}  // namespace vorn::station
