// The station's request-head reader (what StationServer does with the bytes a
// client sends before the empty line): FindHeadEnd, ParseRequestHead and the
// header lookup, plus ProtocolCore's own target extraction.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/AsciiCase.h"
#include "station/web/HttpRequestHead.h"
#include "station/protocol/ProtocolCore.h"

using namespace vorn;
using namespace vorn::station;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t end = FindHeadEnd(bytes);
    fuzz::Check(end == std::string_view::npos || end <= size, "the head ends inside the data");
    const std::string_view head = end == std::string_view::npos ? bytes : bytes.substr(0, end);

    HttpRequestHead parsed;
    std::string error;
    if (ParseRequestHead(head, parsed, error)) {
        fuzz::Check(!parsed.method.empty() && !parsed.target.empty(), "a method and a target");
        fuzz::Check(parsed.version == "HTTP/1.0" || parsed.version == "HTTP/1.1", "a known version");
        fuzz::Check(head.find(parsed.target) != std::string_view::npos, "the target comes from the head");
        fuzz::Check(!parsed.path.empty(), "a path");
        if (parsed.absolute) {
            fuzz::Check(!parsed.urlHost.empty(), "an absolute target names a host");
            fuzz::Check(parsed.urlPort >= 0 && parsed.urlPort <= 99999, "a port of at most five digits");
            fuzz::Check(parsed.path[0] == '/', "an absolute target's path starts with a slash");
        }
        for (const auto& [name, value] : parsed.headers) {
            const std::string first = parsed.Header(name);
            for (const auto& [other, otherValue] : parsed.headers) {
                if (EqualsIgnoringCase(other, name)) {
                    fuzz::Check(first == otherValue, "Header gives the first of its name");
                    break;
                }
            }
        }
    } else {
        fuzz::Check(!error.empty(), "a refused head has a reason");
    }

    std::string target;
    if (ProtocolCore::ParseRequestTarget(std::string(head), target)) {
        fuzz::Check(head.find(target) != std::string_view::npos, "the protocol target comes from the head");
    }
    return 0;
}
