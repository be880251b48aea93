#pragma once

#include <cstddef>
#include <string>

namespace vorn::station {

// Standard base64 ("+", "/", "=" padding), as the reply tokens are written.
// Written out directly, since a filter chain per reply costs more than the
// encoding itself.
class Base64Text {
public:
    // With a lineLength (a multiple of 4), the text is cut into lines of that
    // many characters joined by CRLF; with 0 it stays on one line.
    static std::string Encode(const std::string& bytes, std::size_t lineLength = 0);
    // Decodes standard or URL-safe base64 ("-" and "_" for "+" and "/"),
    // skipping every other character (line breaks, "=" padding, wherever they
    // stand) as the request tokens' decoder always has; bits short of a whole
    // byte at the end are dropped.
    static std::string Decode(const std::string& text);
};

}  // namespace vorn::station
