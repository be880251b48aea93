// UrlParts: any text a server sends as a URL. Checks the splitting contract:
// the parts are substrings in their places, and parsing into a used object
// gives the same parts as parsing into a new one (nothing stale is kept).

#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "server/UrlParts.h"

using vorn::UrlParts;
using vorn::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const UrlParts url(text);
    Check(url.Url() == text, "the URL is kept as it came");
    Check(url.Host().find('/') == std::string::npos, "a host holds no slash");
    Check(url.Host().find(':') == std::string::npos, "a host holds no colon");
    Check(url.File().find('/') == std::string::npos, "a file name holds no slash");
    Check(url.Path().empty() || url.Path()[0] == '/', "a path starts with a slash");
    Check(url.Path().empty() || text.ends_with(url.Path()), "the path runs to the end");
    Check(text.ends_with(url.File()), "the file name ends the URL");
    Check(text.find(url.Host()) != std::string::npos, "the host comes from the URL");
    (void)url.Port();
    (void)url.Scheme();

    UrlParts reused("ftp://old.example:81/a/b.mp3");
    reused.ParseUrl(text);
    Check(reused == url, "parsing again replaces every part");
    return 0;
}
