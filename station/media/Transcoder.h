#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "station/store/StationStore.h"

namespace vorn::station {

// Whether the item's file goes to the client as an MP3 made of it (true), or
// as it is (false, an MP3). Decided by the format the catalogue found in the
// file, or by the file's extension for a record without one.
bool NeedsMp3Made(const ItemRecord& item);

// One run of the pipeline that makes an MP3 of an audio file in any format
// GStreamer decodes: decoded, converted and resampled to what the encoder
// takes, encoded by LAME at VBR quality 2 (about 190 kbit/s) with its fast
// engine (half the time of the standard one, which would keep a first
// download of a four-minute track waiting beyond 3 s), with a Xing header (so that every player, the
// client's time display among them, knows the exact length of a VBR file) and
// an ID3v2 tag holding the item's artist, title, album and genre; the
// source's other tags go into the tag too where ID3v2 has a frame for them.
class Transcoder {
public:
    enum class Result {
        Made,         // the MP3 is complete at the target path
        Gone,         // the source cannot be opened
        Unusable,     // the source cannot be decoded: damaged, not audio, or no decoder for its format
        Unavailable,  // no MP3 can be made at all: GStreamer or one of its elements is missing
        Stopped,      // asked to stop
    };

    // The elements from the file's bytes to the MP3's, as gst-launch-1.0
    // takes them (the benchmark runs the same).
    static const char* Chain();

    // Writes the MP3 of the item's file to `target` (replaced if present; a
    // failed run leaves it incomplete). Returns when the MP3 is complete, on
    // failure (with `error` set), or within a moment of `stop` becoming true.
    // A pipeline that takes in no audio for kStall is given up as unusable.
    static Result Run(const ItemRecord& item, const std::string& target, const std::atomic<bool>& stop,
                      std::string& error);

    static constexpr std::chrono::seconds kStall{30};
};

}  // namespace vorn::station
