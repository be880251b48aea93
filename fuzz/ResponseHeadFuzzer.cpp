// ResponseHead: the bytes a server sends on a connection, framed into a head as
// HttpComms reads them, in pieces of any size. Checks the framing contract: a
// complete head is the bytes up to the first blank line less its final CR LF,
// nothing after the blank line is taken, a head past its limit is refused, and
// the pieces the bytes arrive in never change the outcome.
// Input: one byte choosing the piece size, one choosing the limit, then the bytes.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "server/ResponseHead.h"

using vorn::ResponseHead;
using vorn::fuzz::Check;

namespace {

struct Outcome {
    ResponseHead::Progress progress = ResponseHead::Progress::NeedMore;
    std::string head;
    std::size_t taken = 0;
};

Outcome Frame(std::string_view bytes, std::size_t piece, std::size_t maxBytes) {
    Outcome outcome;
    while (outcome.progress == ResponseHead::Progress::NeedMore && outcome.taken < bytes.size()) {
        const std::string_view next = bytes.substr(outcome.taken, piece);
        std::size_t taken = 0;
        outcome.progress = ResponseHead::Take(outcome.head, 0, next, maxBytes, taken);
        Check(taken <= next.size(), "no more is taken than was offered");
        Check(outcome.progress != ResponseHead::Progress::NeedMore || taken == next.size(),
              "a head still open takes every byte");
        outcome.taken += taken;
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const std::size_t maxBytes = data[1] < 128 ? 16 + data[1] * 8 : 64 * 1024;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    const Outcome whole = Frame(bytes, bytes.size() + 1, maxBytes);
    const Outcome pieces = Frame(bytes, piece, maxBytes);
    Check(whole.progress == pieces.progress && whole.head == pieces.head && whole.taken == pieces.taken,
          "the pieces the bytes arrive in change nothing");

    const std::size_t blank = bytes.find("\r\n\r\n");
    switch (whole.progress) {
        case ResponseHead::Progress::Complete:
            Check(blank != std::string_view::npos && whole.taken == blank + 4, "the head ends at the first blank line");
            Check(whole.head == bytes.substr(0, blank + 2), "the head is those bytes less the final CR LF");
            Check(whole.head.size() <= maxBytes + 1, "a complete head is within its limit");
            break;
        case ResponseHead::Progress::NeedMore:
            Check(blank == std::string_view::npos && whole.taken == bytes.size() && whole.head == bytes,
                  "an open head holds every byte and no blank line");
            break;
        case ResponseHead::Progress::TooLong:
            Check(whole.head.size() == maxBytes + 1, "a head is refused one byte past its limit");
            Check(blank == std::string_view::npos || blank + 4 > whole.taken, "a refused head has no blank line");
            break;
    }
    return 0;
}
