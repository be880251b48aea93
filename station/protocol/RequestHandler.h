#pragma once

#include <string>

namespace vorn::station {

// What the station does with one decrypted request. Called from every thread that
// serves a client, so implementations must be safe to call concurrently.
class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    // Decrypted request XML in, reply XML out (empty reply = nothing to send back).
    virtual std::string HandleRequest(const std::string& requestXml) = 0;
};

// The builds published in the key and version exchange, all for the platform
// "windows", the one the client compares with its own build.
struct BuildInfo {
    int minBuild = 13;
    int latestBuild = 13;
};

}  // namespace vorn::station
