#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// What a media host's response head tells the retriever, decided from the head's
// text alone (as HttpComms::ReceiveHead returns it: ending in one CR LF):
// - "302 Found" anywhere, when a redirect may still be followed: a redirect to
//   the "Location:" header's value (name in any letter case, blanks around the
//   value dropped; a value holding a control character is unusable);
// - otherwise "200 OK" anywhere and a "Content-Length:" header (any letter case)
//   whose value is decimal digits, with blanks around them, below 2^63: a body of
//   that length;
// - anything else is unusable (result 5), with the log line that says why.
class MediaResponse {
public:
    enum class Kind { Redirect, Body, Unusable };

    // urlText: the file's URL, quoted in the log lines about a redirect.
    static MediaResponse Check(const std::string& head, bool redirectAllowed, const std::string& urlText);

    Kind kind = Kind::Unusable;
    std::string location;            // Redirect: the new URL's text
    std::int64_t contentLength = -1; // Body: the declared length
    std::string problem;             // Unusable: the log line, without its level
};

}  // namespace vorn
