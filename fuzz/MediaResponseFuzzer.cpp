// MediaResponse: a media host's response head as the retriever judges it.
// Checks the verdict's contract: a redirect only where one may be followed and
// the head says "302 Found", a body only for "200 OK" with a length that fits,
// every refusal with the line that explains it, and the same head judged the
// same way twice.
// Input: one byte whose low bit allows a redirect, then the head's text.

#include <cstdint>
#include <string>

#include "download/MediaResponse.h"
#include "fuzz/FuzzSupport.h"

using vorn::MediaResponse;
using vorn::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool redirectAllowed = (data[0] & 1) != 0;
    const std::string head(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string url = "http://127.0.0.1:8000/media/1.mp3";

    const MediaResponse verdict = MediaResponse::Check(head, redirectAllowed, url);
    const MediaResponse again = MediaResponse::Check(head, redirectAllowed, url);
    Check(verdict.kind == again.kind && verdict.location == again.location &&
              verdict.contentLength == again.contentLength && verdict.problem == again.problem,
          "a head is judged the same way twice");
    switch (verdict.kind) {
        case MediaResponse::Kind::Redirect:
            Check(redirectAllowed, "no redirect once none may be followed");
            Check(head.find("302 Found") != std::string::npos, "a redirect says so");
            Check(verdict.location.find_first_of("\r\n") == std::string::npos, "a location is one line");
            break;
        case MediaResponse::Kind::Body:
            Check(head.find("200 OK") != std::string::npos, "a body follows 200 OK");
            Check(verdict.contentLength >= 0, "a body has a length");
            break;
        case MediaResponse::Kind::Unusable:
            Check(!verdict.problem.empty(), "a refusal says why");
            break;
    }
    return 0;
}
