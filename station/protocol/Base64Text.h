#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn::station {

// Standard base64 ("+", "/", "=" padding), as the reply tokens are written.
// Written out directly, since a filter chain per reply costs more than the
// encoding itself.
class Base64Text {
public:
    // With a lineLength (a multiple of 4), the text is cut into lines of that
    // many characters joined by CRLF; with 0 it stays on one line.
    static std::string Encode(std::string_view bytes, std::size_t lineLength = 0);
    // The same text appended to `out`, which needs no buffer of its own.
    static void AppendEncoded(std::string_view bytes, std::size_t lineLength, std::string& out);
    // Decodes standard or URL-safe base64 ("-" and "_" for "+" and "/"),
    // skipping every other character (line breaks, "=" padding, wherever they
    // stand) as the request tokens' decoder always has; bits short of a whole
    // byte at the end are dropped.
    static std::string Decode(std::string_view text);
};

}  // namespace vorn::station
