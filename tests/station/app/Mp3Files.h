#pragma once

#include <string>

namespace vorn::station::test {

// Writes an MPEG-1 Layer III file of silent 128 kbit/s frames lasting about
// `seconds`, and optionally an ID3v2 tag with the given fields (empty fields
// are left out). Returns false when the file cannot be written.
bool WriteSilentMp3(const std::string& path, int seconds);
bool TagMp3(const std::string& path, const std::string& artist, const std::string& title,
            const std::string& album, const std::string& genre);

}  // namespace vorn::station::test
