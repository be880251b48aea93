#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::station {

// What a recording is recognised by, from its sound alone: neither its name,
// its folder nor its tags count, so a file keeps it when it is moved, renamed
// or retagged, and another format or quality of the same recording has a
// print close to it.
//
// Both come from one decoding of the file's first kPrintSeconds, mixed to one
// channel at 11,025 Hz as 16-bit samples: the key is a hash of those samples
// (the same sound, to the sample), the print Chromaprint's fingerprint of
// them (about eight 32-bit values a second, each the shape of the sound's
// chroma at that moment). Thirty seconds tell recordings apart by a wide
// margin, at a quarter of the decoding that two minutes would cost.
inline constexpr int kPrintSeconds = 30;

struct ContentPrint {
    std::uint64_t key = 0;             // never 0 once made
    std::vector<std::uint32_t> print;  // Chromaprint's raw fingerprint
    std::uint32_t printHash = 0;       // Chromaprint's similarity hash of the print
    std::int32_t seconds = 0;          // the whole file's playing time as its decoder tells it; 0 unknown
};

enum class PrintOutcome {
    Made,
    NoDecoder,   // the installed plug-ins cannot decode it
    Unreadable,  // it cannot be decoded: damaged, or no sound in it
};

// Decodes the start of the file through GStreamer (decodebin). Bounded in
// time: a file that does not decode within a minute is Unreadable. `problem`
// tells why it was not made. In a decoding worker where the station has them
// (DecodeWorker): a file that crashes the worker is Unreadable.
PrintOutcome MakeContentPrint(const std::string& path, ContentPrint& out, std::string& problem);

// The same in the calling process.
PrintOutcome MakeContentPrintHere(const std::string& path, ContentPrint& out, std::string& problem);

// A decoding worker's answer to a request for the file's print: made here.
std::string ContentPrintAnswer(const std::string& path);
inline constexpr char kPrintRequest = 'P';

// The key of an MPEG audio file from the bytes of its frames (the first 8 MB
// of them and their whole length), its tags left out: a retagged file keeps
// it, and two encodings that decode alike (silence) do not share it. 0 when
// the file has no frames or cannot be read.
std::uint64_t MpegFramesKey(const std::string& path);

// The share of differing bits between two prints where they overlap best
// (shifted by up to about a second against each other): near 0 for the same
// recording in any format or quality, near 0.5 for unrelated ones. 1 when
// they do not overlap enough to tell.
double PrintDistance(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);

// Below this distance two prints are of the same recording.
inline constexpr double kSameRecording = 0.15;

// True when a print can tell its recording from others: a few seconds of
// sound that changes. Silence, a steady tone or a clip of two seconds cannot;
// such files are known by their key alone.
bool IsInformative(const std::vector<std::uint32_t>& print);

}  // namespace vorn::station
