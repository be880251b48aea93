#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn {

// The framing of a response head as HttpComms reads it, without a socket: bytes
// are taken one at a time up to and including the first CR LF CR LF, and the
// final CR LF is then dropped, so a complete head ends in exactly one CR LF.
// Nothing after the blank line is taken; it belongs to the body.
class ResponseHead {
public:
    enum class Progress {
        NeedMore,   // every byte was taken and the blank line has not come yet
        Complete,   // the head is whole; bytes after it were not taken
        TooLong,    // the head grew past maxBytes; it is refused
    };

    // Appends bytes to head, whose text from headStart on is the head so far
    // (callers may append to a string that already holds something). taken tells
    // how many bytes were used.
    static Progress Take(std::string& head, std::size_t headStart, std::string_view bytes, std::size_t maxBytes,
                         std::size_t& taken);
};

}  // namespace vorn
