#include "station/catalogue/DemoSynth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

namespace vorn::station::test {
namespace {

TEST(DemoSynthTest, TracksAreDeterministicDistinctAndTheRightLength) {
    std::set<std::string> artists;
    std::set<std::string> genres;
    std::set<std::string> names;
    for (int index = 0; index < 24; ++index) {
        const DemoTrack track = SynthesiseDemoTrack(index);
        const double seconds = static_cast<double>(track.samples.size()) / track.sampleRate;
        EXPECT_GE(seconds, 20.0) << index;
        EXPECT_LE(seconds, 40.0) << index;
        int peak = 0;
        for (std::int16_t s : track.samples) {
            peak = std::max(peak, std::abs(static_cast<int>(s)));
        }
        EXPECT_GT(peak, 20000) << index;  // loud enough, and normalised below full scale
        EXPECT_LT(peak, 32767) << index;
        artists.insert(track.artist);
        genres.insert(track.genre);
        EXPECT_TRUE(names.insert(track.artist + "/" + std::to_string(track.number)).second);
        EXPECT_FALSE(track.title.empty());
    }
    EXPECT_EQ(artists.size(), 6u);
    EXPECT_EQ(genres.size(), 6u);
    EXPECT_TRUE(SynthesiseDemoTrack(5).samples == SynthesiseDemoTrack(5).samples);
    EXPECT_FALSE(SynthesiseDemoTrack(5).samples == SynthesiseDemoTrack(11).samples);  // same artist, other song
}

TEST(DemoSynthTest, AChosenLengthKeepsTheTrackAndRoundsUpToABar) {
    for (int index : {4, 5}) {  // the slowest and the fastest tempo
        const DemoTrack natural = SynthesiseDemoTrack(index);
        for (int wanted : {4, 45}) {
            const DemoTrack track = SynthesiseDemoTrack(index, wanted);
            const double seconds = static_cast<double>(track.samples.size()) / track.sampleRate;
            // At most one bar (four beats at 62 bpm) longer, plus the release of the last notes.
            EXPECT_GE(seconds, wanted) << index;
            EXPECT_LE(seconds, wanted + 4 * 60.0 / 62 + 1.5) << index;
            EXPECT_EQ(track.title, natural.title);
            EXPECT_EQ(track.artist, natural.artist);
        }
    }
}

}  // namespace
}  // namespace vorn::station::test
