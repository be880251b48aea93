#pragma once

#include <string>

#include "station/catalogue/DemoSynth.h"

namespace vorn::station {

// Writes `tracks` synthesised demo tracks as tagged MP3 files into
// folder/<Artist>/<Album>/<NN> - <Title>.mp3, replacing files of the same
// name. The same count always gives the same files. `seconds` above 0 sets
// every track's length (see SynthesiseDemoTrack). False with `error` set when
// GStreamer's MP3 encoder is missing or a file cannot be written.
bool MakeDemoLibrary(const std::string& folder, int tracks, std::string& error, int seconds = 0);

// Encodes one track to an MP3 file (GStreamer's LAME encoder) and writes its
// ID3v2 tags (TagLib).
bool WriteDemoTrack(const DemoTrack& track, const std::string& path, std::string& error);

// Encodes one track, untagged, through `encoder`: GStreamer elements from raw
// audio to the file's bytes ("flacenc", "vorbisenc ! oggmux").
bool EncodeDemoTrack(const DemoTrack& track, const std::string& path, const std::string& encoder,
                     std::string& error);

}  // namespace vorn::station
