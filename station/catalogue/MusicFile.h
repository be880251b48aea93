#pragma once

#include <cstdint>
#include <string>

#include "station/catalogue/ContentPrint.h"
#include "station/store/StationStore.h"

namespace vorn::station {

// What a scan learns of one file of the music folder by reading it.
struct MusicFile {
    FileRecord file;     // path, size, time, whether it plays and why not, format, bitrate, content key
    ItemRecord tags;     // what its tags and path say (NamesFromPath), its playing time
    ContentPrint print;  // of its sound; empty when skipped
    std::string problem; // why it was skipped, for the log
};

// Judges one file: readable, audio by its content (TagReader), decodable with
// the installed plug-ins (AudioFormat, then the decoding itself), and if so
// its tags, names from its path below `musicDir` and its content print; its
// content key is that of its frames for MPEG audio (MpegFramesKey), else the
// print's. The
// time it takes is mostly the decoding of the file's first kPrintSeconds.
MusicFile InspectMusicFile(const std::string& path, std::int64_t size, std::int64_t modified,
                           const std::string& musicDir);

// The name a reason has in the log and the catalogue's summary.
const char* SkipReasonName(SkipReason reason);

}  // namespace vorn::station
