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

}  // namespace vorn::station::test
