#pragma once

#include <string>
#include <utility>

namespace vorn::station {

// What becomes of one decrypted request.
struct HandlerResult {
    enum class Kind {
        Reply,    // `reply` goes back to the client
        Nothing,  // nothing goes back; the connection ends as usual
        // The request was not carried out (its store failed): the connection is
        // reset, so that a client waiting for an answer cannot take its end for one.
        Reset,
    };

    static HandlerResult Reply(std::string xml) { return {Kind::Reply, std::move(xml)}; }
    static HandlerResult Nothing() { return {Kind::Nothing, {}}; }
    static HandlerResult Reset() { return {Kind::Reset, {}}; }

    Kind kind = Kind::Nothing;
    std::string reply;  // the reply XML, for Kind::Reply
};

// What the protocol port does with one request's connection.
enum class ProtocolOutcome {
    Answer,    // sends the response (nothing when it is empty), then closes
    Reset,     // resets the connection without a word
    Unusable,  // not a request the station can read; closes with the reason logged
};

// What the station does with one decrypted request. Called from every thread that
// serves a client, so implementations must be safe to call concurrently.
class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    virtual HandlerResult HandleRequest(const std::string& requestXml) = 0;
    // True when a RatingsRequest is answered only once its ratings are stored
    // (<type>RatingsRequestResponse</type><stored>N</stored>) and reset when
    // they could not be; the key exchange then tells the client so.
    virtual bool AcknowledgesRatings() const { return false; }
};

// The builds published in the key and version exchange, all for the platform
// "windows", the one the client compares with its own build.
struct BuildInfo {
    int minBuild = 13;
    int latestBuild = 13;
};

}  // namespace vorn::station
