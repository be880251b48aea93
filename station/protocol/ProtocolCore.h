#pragma once

#include <string>
#include <string_view>

#include "station/protocol/OpenSslRsa.h"
#include "station/protocol/RequestHandler.h"
#include "station/protocol/StationKey.h"

namespace vorn::station {

// The station's side of the client protocol, for one HTTP GET at a time:
//
// - "GET /" is the key and version exchange, answered in plain XML:
//   <type>PublicKeyResponse</type><pubkey>...</pubkey><builds><build>
//   <platform>windows</platform><min>N</min><latest>N</latest></build></builds>
//   followed by <ratingsack>1</ratingsack> when the handler acknowledges
//   ratings (a client that does not know the element ignores it).
// - "GET /<token>" carries a request: URL-safe base64 (CR LF line breaks allowed)
//   of a 128-byte RSA key block [10 00 00 00][16-byte AES key][108 random bytes]
//   and the request XML, AES-128 ECB with PKCS#7 padding. The XML goes to the
//   handler; its reply goes back AES-encrypted with the client's key, in base64
//   lines of 76 characters joined by CR LF.
// Every answer ends with one empty line (CR LF CR LF) and holds no other, since
// the client reads only up to the first.
//
// Respond is const and safe to call from several threads at once (the handler
// must be too); it never throws: hostile input gives false and a reason. How
// many run at once is the caller's choice: the station's server runs one per
// core (CoreTurns).
class ProtocolCore {
public:
    static constexpr std::size_t kKeyBlockSize = 128;
    static constexpr std::size_t kClientKeySize = 16;
    static constexpr std::size_t kReplyLineLength = 76;
    static_assert(kKeyBlockSize == OpenSslRsa::kBlockSize, "the key block is one block of the station's modulus");
    static_assert(kReplyLineLength % 4 == 0, "reply lines end between groups of four characters");

    // The key is copied; the handler is not owned and must outlive the core.
    ProtocolCore(const StationKey& key, RequestHandler& handler, BuildInfo builds);

    // target: the request target exactly as received between "GET " and the final
    // " HTTP/1.x" ("/" for the key exchange, "/<token>" with CR LF line breaks
    // inside for requests; a proxy's absolute form "http://host:port/..." is
    // accepted too). Answer: `response` holds the exact bytes to send (reply +
    // "\r\n\r\n"), or nothing when the handler has no reply. Reset: the
    // handler could not carry the request out; nothing is to be sent. Unusable,
    // with `error` set: a garbage token, a bad key block, bad padding, a handler
    // that threw and the like.
    ProtocolOutcome Respond(const std::string& target, std::string& response, std::string& error) const;

    // The target of a received request head: the text between "GET " and the last
    // " HTTP/1." (a token may end with a CR LF of its own). False for anything
    // that is not a GET.
    static bool ParseRequestTarget(const std::string& head, std::string& target);

    // The plain key and version reply, without the final empty line.
    const std::string& KeyExchangeReply() const { return keyExchangeReply_; }

private:
    bool DecryptRequest(std::string_view token, std::string& clientKey, std::string& xml,
                        std::string& error) const;
    // Appends the reply's text to `response`; `xml` is encrypted in place.
    static void EncryptReply(const std::string& clientKey, std::string& xml, std::string& response);

    const StationKey key_;
    mutable OpenSslRsa rsa_{key_.PrivateKey()};
    RequestHandler& handler_;
    const std::string keyExchangeReply_;
};

}  // namespace vorn::station
