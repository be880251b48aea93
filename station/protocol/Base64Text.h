#pragma once

#include <string>

namespace vorn::station {

// Standard base64 ("+", "/", "=" padding), on one line: the reply tokens' text
// before it is cut into lines. Written out directly, since a filter chain per
// reply costs more than the encoding itself.
class Base64Text {
public:
    static std::string Encode(const std::string& bytes);
    // Decodes standard or URL-safe base64 ("-" and "_" for "+" and "/"),
    // skipping every other character (line breaks, "=" padding, wherever they
    // stand) as the request tokens' decoder always has; bits short of a whole
    // byte at the end are dropped.
    static std::string Decode(const std::string& text);
};

}  // namespace vorn::station
