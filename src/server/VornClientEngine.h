#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/Recommendation.h"
#include "xml/XmlElement.h"

namespace vorn {

class CryptoContext;
class HttpComms;
class Preferences;

// Result codes of the engine's operations.
enum EngineResult : int {
    kEngineOk = 0,
    kEngineCommsFailed = 1,   // sending or receiving failed, or no connection object
    kEngineNotReady = 2,      // no successful key and version exchange yet
    kEngineBadReply = 4,      // the reply was empty, of the wrong type or unusable
    kEngineNoCrypto = 5,      // the crypto context could not be created
    kEngineNewerBuild = 6,    // ready, and the server publishes a newer build
    kEngineBuildTooOld = 7,   // this build is below the server's minimum; not ready
};

// Speaks the recommendation server's protocol over HTTP GET.
//
// Initialise fetches the server's RSA key and published builds in plain XML (the
// key and version exchange). After that every request is an XML message sent as
// an encrypted token in the path of its own HTTP/1.0 GET, on a connection that is
// closed right after the reply (or after sending when no reply is read); the
// reply is a token up to the first empty line.
//
// A station may announce in the key exchange (<ratingsack>1</ratingsack>) that
// it answers a RatingsRequest once the ratings are stored and resets the
// connection when they could not be. Talking to such a station, SubmitRatings
// succeeds only on that answer; with any other it reads no reply, as always.
//
// Requests come from one thread at a time (start-up, then the player's worker);
// the engine has no lock of its own for them. Abort is the one operation meant
// for another thread.
class VornClientEngine {
public:
    using RecommendationList = std::vector<std::unique_ptr<Recommendation>>;

    // The longest reply token accepted; a real one is a few KiB. A longer one
    // fails the request instead of being held in memory.
    static constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

    // preferences: where connections read the proxy settings; null means
    // Preferences::Global().
    explicit VornClientEngine(const Preferences* preferences = nullptr);
    ~VornClientEngine();
    VornClientEngine(const VornClientEngine&) = delete;
    VornClientEngine& operator=(const VornClientEngine&) = delete;

    // Creates the connection and a fresh crypto context (new client key) and runs
    // the key and version exchange: 0 or 6 leave the engine ready; 1, 4, 5 and 7
    // release both objects. May be called again after a failure.
    int Initialise(const std::string& host, std::int32_t port);

    // Whether anything takes connections on the station's port (on the proxy's,
    // when one is set), connecting for at most timeoutMs and closing again at
    // once, with nothing logged: the cheap look a client out of touch takes
    // before it spends a key exchange. 0 or 1. Leaves the engine not ready.
    int Probe(const std::string& host, std::int32_t port, int timeoutMs);

    // Encrypts and sends one request; with a reply element, receives, decrypts and
    // appends the reply text (padding included). 0, 1 or 2.
    int SendRequest(const XmlElement& request, XmlElement* reply);

    // Registers a new listener; details go out in descending name order. 0 when an
    // id of 1 or more came back (written to userId; an id below 1 is written too
    // and gives 4), 1 when sending or receiving failed, 2 when not ready, 4 for an
    // unusable reply.
    int RegisterUser(std::int32_t& userId, const std::map<std::string, std::string>& details);

    // Asks for count recommendations and appends every complete one, in reply
    // order, to list; incomplete ones are logged and dropped. 0, 1, 2 or 4.
    int GetRecommendations(std::int32_t userId, std::int32_t typeId, std::int32_t count,
                           RecommendationList& list);
    // The reading half of GetRecommendations: the decrypted reply's type checked,
    // its recommendations walked and every complete one appended to list.
    // 0, or 4 for an empty reply or one of another type.
    static int ReadRecommendations(XmlElement& reply, RecommendationList& list);

    // Sends the ratings (item id -> rating) in one request. 2 when not ready.
    // To a station that acknowledges ratings: 0 once its RatingsRequestResponse
    // arrived (the ratings are stored, or can never be), 1 when sending failed
    // or the connection was reset, closed or timed out without it, 4 for a
    // reply of another kind. To any other station: 0 sent, 1 sending failed,
    // and no reply is read.
    int SubmitRatings(std::int32_t userId, const std::map<std::int32_t, std::int32_t>& ratings);
    // Whether the station of the last key exchange acknowledges ratings.
    bool AcknowledgesRatings() const { return ratingsAcknowledged_; }

    // Cancels for good, from any thread: a request in progress fails at once with
    // code 1 and every later request fails the same way without connecting. For
    // shutdown, so that the owner never has to wait on a slow server before it
    // joins the thread that uses the engine and deletes it.
    void Abort();

    bool IsReady() const { return ready_; }

private:
    // A new connection object in place of the old ones (the engine not ready);
    // false when it could not be made.
    bool OpenConnection(const std::string& host, std::int32_t port);
    int ExchangeKey();
    // The acknowledgement of `sent` ratings in a decrypted reply: 0, or 4.
    static int ReadRatingsAcknowledgement(XmlElement& reply, std::size_t sent);
    void Disconnect();
    void ReleaseObjects();

    const Preferences* preferences_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> aborted_{false};
    bool ratingsAcknowledged_ = false;  // learnt anew by every key exchange
    // Guards the connection pointer against Abort from another thread. The
    // requesting thread changes the pointer only while holding it and reads it
    // without it (no other thread changes it); Abort holds it only to reach the
    // connection's lock-free Abort.
    std::mutex connectionMutex_;
    std::unique_ptr<HttpComms> connection_;
    std::unique_ptr<CryptoContext> crypto_;
};

}  // namespace vorn
