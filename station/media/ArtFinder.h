#pragma once

#include <string>
#include <vector>

namespace vorn::station {

// Where an item's picture may come from, best first: the pictures embedded in
// its file (the front cover first), then the pictures beside it.
class ArtFinder {
public:
    // The pictures embedded in the file, read with TagLib whatever its format:
    // ID3v2 APIC frames (MP3, WAV, AIFF), FLAC picture blocks, the
    // METADATA_BLOCK_PICTURE comments of Ogg Vorbis, Opus and FLAC, MP4 "covr"
    // items and APE cover items (WavPack, APE). A front cover comes first,
    // then the others in the file's order. Empty when there are none or the
    // file cannot be read.
    static std::vector<std::string> Embedded(const std::string& path);
    // The files "cover.*", "folder.*" and "front.*" (.jpg, .jpeg or .png, in
    // any case) in the file's folder, in that order of names.
    static std::vector<std::string> BesideFile(const std::string& path);
};

}  // namespace vorn::station
