#pragma once

#include <string>

namespace vorn::station::test {

// Writes an MPEG-1 Layer III file of 128 kbit/s frames lasting about
// `seconds`: silent frames, or with `noiseSeed` other than 0 frames whose
// bodies are pseudo-random bytes (so that every byte of a copy can be checked).
// Returns false when the file cannot be written.
bool WriteSilentMp3(const std::string& path, int seconds, unsigned noiseSeed = 0);
// Writes an ID3v2 tag with the given fields.
bool TagMp3(const std::string& path, const std::string& artist, const std::string& title,
            const std::string& album, const std::string& genre);
// Writes a tag whose texts are declared Latin-1 and hold the given bytes as
// they are, whatever their encoding: an ID3v2 tag, or with `id3v1` an ID3v1
// tag only (whose genre must be one of its list).
bool TagMp3Bytes(const std::string& path, const std::string& artist, const std::string& title,
                 const std::string& album, const std::string& genre, bool id3v1 = false);

}  // namespace vorn::station::test
