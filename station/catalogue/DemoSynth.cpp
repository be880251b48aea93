#include "station/catalogue/DemoSynth.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vorn::station {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A small deterministic generator (the standard distributions differ between
// libraries, so the demo library would too).
class Seeded {
public:
    explicit Seeded(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
    std::uint64_t Next() {
        state_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    bool Chance(double p) { return Unit() < p; }

private:
    std::uint64_t state_;
};

enum class Voice { Pad, Bell, EPiano, Pluck, Square, Saw, Bass, SubBass };

struct Style {
    const char* artist;
    const char* album;
    const char* genre;
    int year;
    double tempo;              // beats per minute
    std::array<int, 7> scale;  // semitones above the root
    int scaleSize;
    int rootLow;               // MIDI note range for the key's root
    Voice chordVoice;
    Voice melodyVoice;
    Voice bassVoice;
    double notesPerBeat;       // melody density
    double restChance;
    bool kick, snare, hats, swing;
    int beatsPerChord;
};

const Style kStyles[] = {
    {"Juniper Kite", "Paper Skies", "Dream Pop", 2019, 84, {0, 2, 4, 5, 7, 9, 11}, 7, 50,
     Voice::Pad, Voice::Bell, Voice::Bass, 1, 0.25, true, true, false, false, 4},
    {"The Lantern Choir", "Songs from the Ferry", "Folk", 2016, 100, {0, 2, 4, 5, 7, 9, 10}, 7, 48,
     Voice::Pluck, Voice::Pluck, Voice::Bass, 2, 0.3, false, false, false, false, 4},
    {"Marlow & Finch", "After Hours at Finch's", "Lounge Jazz", 2021, 112, {0, 2, 3, 5, 7, 9, 10}, 7, 46,
     Voice::EPiano, Voice::EPiano, Voice::Bass, 2, 0.35, false, false, true, true, 4},
    {"Static Orchard", "Neon Acres", "Synthwave", 2020, 118, {0, 2, 3, 5, 7, 8, 10}, 7, 45,
     Voice::Saw, Voice::Square, Voice::SubBass, 2, 0.2, true, true, true, false, 4},
    {"Ada Vale", "Slow Weather", "Ambient", 2018, 66, {0, 2, 4, 6, 7, 9, 11}, 7, 48,
     Voice::Pad, Voice::Bell, Voice::SubBass, 0.5, 0.4, false, false, false, false, 8},
    {"Cobalt Tortoise", "Eight-Bit Garden", "Chiptune", 2022, 140, {0, 2, 4, 7, 9, 0, 0}, 5, 52,
     Voice::Square, Voice::Square, Voice::Square, 2, 0.15, true, true, true, false, 4},
};
constexpr int kStyleCount = sizeof kStyles / sizeof kStyles[0];

const char* const kAdjectives[] = {"Amber", "Quiet", "Paper", "Silver", "Distant", "Velvet", "Hollow", "Golden",
                                   "Northern", "Sleepy", "Bright", "Copper", "Winter", "Secret", "Lazy", "Electric"};
const char* const kNouns[] = {"Harbour", "Engines", "Lanterns", "Orchard", "Tide", "Meadow", "Signals", "Balcony",
                              "Comets", "Rooftops", "Ferries", "Gardens", "Weather", "Bicycles", "Rivers", "Postcards"};

const std::array<std::array<int, 4>, 6> kProgressions = {{
    {0, 4, 5, 3}, {0, 5, 3, 4}, {0, 3, 4, 4}, {5, 3, 0, 4}, {0, 3, 0, 4}, {1, 4, 0, 0},
}};

double Frequency(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }

// Adds one note of a voice into the buffer.
void Note(std::vector<float>& mix, int rate, double start, double length, double midi, double gain, Voice voice,
          Seeded& random) {
    const std::size_t first = static_cast<std::size_t>(start * rate);
    if (first >= mix.size()) {
        return;
    }
    double release = 0.08;
    switch (voice) {
        case Voice::Pad: release = 0.8; break;
        case Voice::Bell: release = 1.2; break;
        case Voice::EPiano: release = 0.5; break;
        case Voice::Pluck: release = 0.6; break;
        default: break;
    }
    const std::size_t count = std::min(mix.size() - first, static_cast<std::size_t>((length + release) * rate));
    const double f = Frequency(midi);
    const double step = 2 * kPi * f / rate;
    // Plucked strings: a delay line of noise, averaged (Karplus-Strong).
    std::vector<float> string;
    if (voice == Voice::Pluck) {
        string.resize(std::max<std::size_t>(2, static_cast<std::size_t>(rate / f)));
        for (float& s : string) {
            s = static_cast<float>(random.Unit() * 2 - 1);
        }
    }
    double phase = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        double env = 1.0;
        double value = 0;
        switch (voice) {
            case Voice::Pad: {
                env = std::min(1.0, t / 0.6);
                value = 0.5 * std::sin(phase) + 0.25 * std::sin(phase * 2.003) + 0.12 * std::sin(phase * 3.01) +
                        0.3 * std::sin(phase * 1.004);
                break;
            }
            case Voice::Bell: {
                env = std::min(1.0, t / 0.005) * std::exp(-t * 2.2);
                value = std::sin(phase + 2.0 * std::exp(-t * 3) * std::sin(phase * 3.5));
                break;
            }
            case Voice::EPiano: {
                env = std::min(1.0, t / 0.004) * std::exp(-t * 2.8);
                value = std::sin(phase + 1.2 * std::exp(-t * 6) * std::sin(phase));
                break;
            }
            case Voice::Pluck: {
                const std::size_t k = i % string.size();
                const std::size_t n = (i + 1) % string.size();
                string[k] = 0.498f * (string[k] + string[n]);
                value = string[k];
                break;
            }
            case Voice::Square: {
                env = std::min(1.0, t / 0.003) * std::exp(-t * 1.5);
                value = (std::sin(phase) >= 0 ? 0.5 : -0.5);
                break;
            }
            case Voice::Saw: {
                env = std::min(1.0, t / 0.02);
                const double x = std::fmod(phase / (2 * kPi), 1.0);
                value = 0.6 * (2 * x - 1) * 0.5 + 0.5 * std::sin(phase * 0.5 * 2.0 * 1.005);
                break;
            }
            case Voice::Bass: {
                env = std::min(1.0, t / 0.01) * std::exp(-t * 1.2);
                value = std::sin(phase) + 0.3 * std::sin(phase * 2);
                break;
            }
            case Voice::SubBass: {
                env = std::min(1.0, t / 0.03);
                value = std::sin(phase);
                break;
            }
        }
        if (t > length) {
            env *= std::exp(-(t - length) * 5.0 / release);
        }
        mix[first + i] += static_cast<float>(gain * env * value);
        phase += step;
        if (phase > 2 * kPi * 64) {
            phase -= 2 * kPi * 64;
        }
    }
}

void Kick(std::vector<float>& mix, int rate, double start, double gain) {
    const std::size_t first = static_cast<std::size_t>(start * rate);
    double phase = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.35 * rate) && first + i < mix.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += 2 * kPi * (48 + 90 * std::exp(-t * 30)) / rate;
        mix[first + i] += static_cast<float>(gain * std::exp(-t * 9) * std::sin(phase));
    }
}

void Noise(std::vector<float>& mix, int rate, double start, double decay, double tone, double gain, Seeded& random) {
    const std::size_t first = static_cast<std::size_t>(start * rate);
    double previous = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(6.0 / decay * rate) && first + i < mix.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double white = random.Unit() * 2 - 1;
        const double high = white - previous;  // a plain high-pass
        previous = white;
        const double body = tone > 0 ? 0.6 * std::sin(2 * kPi * tone * t) : 0;
        mix[first + i] += static_cast<float>(gain * std::exp(-t * decay) * (0.5 * high + body));
    }
}

}  // namespace

DemoTrack SynthesiseDemoTrack(int index, int seconds) {
    const Style& style = kStyles[index % kStyleCount];
    Seeded random(static_cast<std::uint64_t>(index) + 1);
    DemoTrack track;
    track.artist = style.artist;
    track.album = style.album;
    track.genre = style.genre;
    track.year = style.year;
    track.number = index / kStyleCount + 1;
    track.title = std::string(kAdjectives[random.Below(16)]) + " " + kNouns[random.Below(16)];
    track.sampleRate = kDemoSampleRate;
    const int rate = track.sampleRate;

    const double tempo = style.tempo * (0.94 + 0.12 * random.Unit());
    const double beat = 60.0 / tempo;
    const int naturalSeconds = 20 + random.Below(15);  // drawn always: the rest of the track stays the same
    const double targetSeconds = seconds > 0 ? seconds : naturalSeconds;
    const int beatsPerBar = 4;
    const int bars = static_cast<int>(std::ceil(targetSeconds / (beat * beatsPerBar)));
    const double musicEnd = bars * beatsPerBar * beat;
    std::vector<float> mix(static_cast<std::size_t>((musicEnd + 1.5) * rate), 0.0f);

    const int root = style.rootLow + random.Below(7);
    const auto& progression = kProgressions[random.Below(static_cast<int>(kProgressions.size()))];
    const auto pitch = [&](int degree, int octave) {
        const int n = style.scaleSize;
        const int wrapped = ((degree % n) + n) % n;
        const int octaves = (degree - wrapped) / n + octave;
        return root + style.scale[wrapped] + 12 * octaves;
    };

    int chordIndex = 0;
    for (double at = 0; at < musicEnd - 1e-9; at += style.beatsPerChord * beat, ++chordIndex) {
        const int degree = progression[chordIndex % 4];
        const double length = style.beatsPerChord * beat;
        // Chord: three voices of the scale's triad, an octave above the root.
        if (style.chordVoice == Voice::Pluck || style.chordVoice == Voice::EPiano || style.chordVoice == Voice::Square) {
            for (int b = 0; b < style.beatsPerChord; ++b) {
                const int tone = (b % 3) * 2;
                Note(mix, rate, at + b * beat, beat * 0.9, pitch(degree + tone, 1), 0.16, style.chordVoice, random);
            }
        } else {
            for (int tone : {0, 2, 4}) {
                Note(mix, rate, at, length, pitch(degree + tone, 1), 0.09, style.chordVoice, random);
            }
        }
        // Bass on the chord's root.
        for (int b = 0; b < style.beatsPerChord; b += (style.beatsPerChord > 4 ? 4 : 2)) {
            Note(mix, rate, at + b * beat, beat * 1.8, pitch(degree, -1), 0.22, style.bassVoice, random);
        }
    }

    // Melody: a random walk on the scale that leans towards chord tones.
    int degree = 4 + random.Below(3);
    const double step = beat / style.notesPerBeat;
    for (double at = 0; at < musicEnd - step; at += step) {
        const double swing = (style.swing && static_cast<int>(std::lround(at / step)) % 2 == 1) ? step * 0.18 : 0;
        if (random.Chance(style.restChance)) {
            continue;
        }
        const int move = random.Below(5) - 2;
        degree = std::clamp(degree + move, 0, 11);
        const double length = step * (random.Chance(0.3) ? 1.8 : 0.85);
        Note(mix, rate, at + swing, length, pitch(degree, 2), 0.13, style.melodyVoice, random);
    }

    // Drums.
    for (int b = 0; b < bars * beatsPerBar; ++b) {
        const double at = b * beat;
        if (style.kick && (b % 2 == 0 || style.tempo > 115)) {
            Kick(mix, rate, at, 0.5);
        }
        if (style.snare && b % 4 == 2) {
            Noise(mix, rate, at, 18, 185, 0.22, random);
        }
        if (style.hats) {
            Noise(mix, rate, at + beat * (style.swing ? 0.66 : 0.5), 60, 0, 0.1, random);
        }
    }

    // Level, gentle saturation, fades.
    float peak = 0.001f;
    for (float s : mix) {
        peak = std::max(peak, std::fabs(s));
    }
    track.samples.resize(mix.size());
    const double fadeIn = 0.3 * rate;
    const double fadeOut = 2.0 * rate;
    for (std::size_t i = 0; i < mix.size(); ++i) {
        double s = std::tanh(1.2 * mix[i] / peak) / std::tanh(1.2);
        s *= std::min(1.0, static_cast<double>(i) / fadeIn);
        s *= std::min(1.0, static_cast<double>(mix.size() - i) / fadeOut);
        track.samples[i] = static_cast<std::int16_t>(std::lround(s * 0.85 * 32767));
    }
    return track;
}

}  // namespace vorn::station
