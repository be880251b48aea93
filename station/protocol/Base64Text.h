#pragma once

#include <string>

namespace vorn::station {

// Standard base64 ("+", "/", "=" padding), on one line: the reply tokens' text
// before it is cut into lines. Written out directly, since a filter chain per
// reply costs more than the encoding itself.
class Base64Text {
public:
    static std::string Encode(const std::string& bytes);
};

}  // namespace vorn::station
