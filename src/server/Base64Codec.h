#pragma once

#include <string>

namespace vorn {

// The request tokens' own base64 coder (standard alphabet "A-Za-z0-9+/").
//
// Encode writes a CR LF after every 76 characters of full three-byte groups,
// also after the last full group when it completes a line; a final group of one
// or two bytes follows as two or three characters with "==" or "=".
//
// Decode reads up to the first "=" or the end, skipping every character outside
// the alphabet wherever it stands (line breaks among them); four characters give
// three bytes, a final two or three give one or two; a single trailing character
// is ignored.
class Base64Codec {
public:
    static constexpr std::size_t kLineLength = 76;

    static std::string Encode(const std::string& bytes);
    static std::string Decode(const std::string& text);
};

}  // namespace vorn
