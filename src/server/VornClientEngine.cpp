#include "server/VornClientEngine.h"

#include <new>

#include "foundation/LogEntry.h"
#include "server/CryptoContext.h"
#include "server/HttpComms.h"
#include "server/ServerConstants.h"

namespace vorn {
namespace {

// The only platform whose builds this client compares with its own.
constexpr const char* kBuildPlatform = "windows";

}  // namespace

VornClientEngine::VornClientEngine(const Preferences* preferences) : preferences_(preferences) {}

VornClientEngine::~VornClientEngine() { ReleaseObjects(); }

void VornClientEngine::Disconnect() {
    if (connection_) {
        connection_->Disconnect();
    }
}

void VornClientEngine::ReleaseObjects() {
    Disconnect();
    std::unique_ptr<HttpComms> released;
    {
        std::lock_guard lock(connectionMutex_);
        released = std::move(connection_);
    }
    released.reset();
    crypto_.reset();
}

void VornClientEngine::Abort() {
    aborted_ = true;
    std::lock_guard lock(connectionMutex_);
    if (connection_) {
        connection_->Abort();
    }
}

bool VornClientEngine::OpenConnection(const std::string& host, std::int32_t port) {
    ready_ = false;
    ratingsAcknowledged_ = false;
    ReleaseObjects();
    try {
        auto connection = std::make_unique<HttpComms>(host, port, preferences_);
        std::lock_guard lock(connectionMutex_);
        connection_ = std::move(connection);
        if (aborted_) {
            connection_->Abort();
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int VornClientEngine::Probe(const std::string& host, std::int32_t port, int timeoutMs) {
    if (!OpenConnection(host, port)) {
        return kEngineCommsFailed;
    }
    connection_->SetTimeouts(timeoutMs, HttpComms::kReceiveTimeoutMs);
    const int result = connection_->Probe() == kHttpOk ? kEngineOk : kEngineCommsFailed;
    ReleaseObjects();
    return result;
}

int VornClientEngine::Initialise(const std::string& host, std::int32_t port) {
    if (!OpenConnection(host, port)) {
        return kEngineCommsFailed;
    }
    crypto_ = CryptoContext::Create();
    if (!crypto_) {
        ReleaseObjects();
        return kEngineNoCrypto;
    }
    const int result = ExchangeKey();
    if (result == kEngineOk || result == kEngineNewerBuild) {
        return result;
    }
    ReleaseObjects();
    return result;
}

int VornClientEngine::ExchangeKey() {
    HttpComms& comms = *connection_;
    if (comms.Get("", false) != kHttpOk) {
        return kEngineCommsFailed;
    }
    std::string received;
    if (comms.ReceiveHead(received) != kHttpOk) {
        VORN_LOG(LogLevel::Warning) << "Error Receiving Public Key%i\n";
        comms.Disconnect();
        return kEngineCommsFailed;
    }

    XmlElement reply(received);
    if (reply.Child("type").Text() != "PublicKeyResponse") {
        return kEngineBadReply;
    }
    if (!crypto_->LoadPublicKey(reply.Child("pubkey").Text())) {
        VORN_LOG(LogLevel::Warning) << "VornClientEngine : Unusable public key";
        comms.Disconnect();
        return kEngineBadReply;
    }
    VORN_LOG(LogLevel::Fine) << "FINE : Loaded Public Key\n";
    ratingsAcknowledged_ = reply.Child("ratingsack").Text() == "1";

    // The first published build of this platform that rules decides; builds of
    // other platforms are skipped.
    XmlElement builds = reply.Child("builds");
    for (XmlElement build = builds.NextChild("build"); !build.IsEmpty(); build = builds.NextChild("build")) {
        if (build.Child("platform").Text() != kBuildPlatform) {
            continue;
        }
        if (build.ChildInt("min") > BUILD_NUMBER) {
            comms.Disconnect();
            return kEngineBuildTooOld;
        }
        if (build.ChildInt("latest") > BUILD_NUMBER) {
            comms.Disconnect();
            ready_ = true;
            return kEngineNewerBuild;
        }
    }
    comms.Disconnect();
    ready_ = true;
    return kEngineOk;
}

int VornClientEngine::SendRequest(const XmlElement& request, XmlElement* reply) {
    if (!ready_ || !connection_ || !crypto_) {
        return kEngineNotReady;
    }
    const std::string token = crypto_->EncryptRequest(request);
    if (token.empty()) {
        VORN_LOG(LogLevel::Warning) << "VornClientEngine : Error encrypting request";
        return kEngineCommsFailed;
    }
    if (connection_->Get(token, false) != kHttpOk) {
        VORN_LOG(LogLevel::Warning) << "VornClientEngine : Error sending request";
        connection_->Disconnect();
        return kEngineCommsFailed;
    }
    if (reply == nullptr) {
        connection_->Disconnect();
        return kEngineOk;
    }
    std::string received;
    const int result = connection_->ReceiveHead(received, kMaxReplyBytes);
    connection_->Disconnect();
    if (result != kHttpOk) {
        if (received.size() > kMaxReplyBytes) {
            VORN_LOG(LogLevel::Warning) << "VornClientEngine : Reply longer than " << kMaxReplyBytes
                                        << " bytes refused";
        }
        return kEngineCommsFailed;
    }
    reply->Append(crypto_->DecryptResponse(received));
    return kEngineOk;
}

int VornClientEngine::RegisterUser(std::int32_t& userId, const std::map<std::string, std::string>& details) {
    if (!ready_) {
        return kEngineNotReady;
    }
    XmlElement request;
    request.AddChild("request", "<type>NewUserRequest</type><details></details>");
    for (const auto& [name, value] : details) {
        XmlElement pair;
        pair.AddChild("name", name);
        pair.AddChild("value", value);
        request.SetChild("details", pair);
    }

    XmlElement reply;
    if (SendRequest(request, &reply) != kEngineOk) {
        return kEngineCommsFailed;
    }
    if (reply.IsEmpty() || reply.Child("type").Text() != "NewUserRequestResponse" || !reply.HasChild("userid")) {
        return kEngineBadReply;
    }
    userId = reply.ChildInt("userid");
    return userId >= 1 ? kEngineOk : kEngineBadReply;
}

int VornClientEngine::GetRecommendations(std::int32_t userId, std::int32_t typeId, std::int32_t count,
                                         RecommendationList& list) {
    if (!ready_) {
        return kEngineNotReady;
    }
    XmlElement request("<request><type>RecommendationsRequest</type></request>");
    request.SetChild("request", XmlElement().AddChildInt("userid", userId));
    request.SetChild("request", XmlElement().AddChildInt("typeid", typeId));
    request.SetChild("request", XmlElement().AddChildInt("count", count));

    XmlElement reply;
    if (const int result = SendRequest(request, &reply); result != kEngineOk) {
        return result;
    }
    return ReadRecommendations(reply, list);
}

int VornClientEngine::ReadRecommendations(XmlElement& reply, RecommendationList& list) {
    if (reply.IsEmpty()) {
        VORN_LOG(LogLevel::Warning) << "XML Zero Length Error";
        return kEngineBadReply;
    }
    // Child leaves the reply's search position after its first </type>, where the
    // walk over the recommendations starts.
    if (reply.Child("type").Text() != "RecommendationsRequestResponse") {
        VORN_LOG(LogLevel::Warning) << "XML Type Error : Not a RecommendationsRequestResponse";
        return kEngineBadReply;
    }
    for (XmlElement rec = reply.NextChild("recommendation"); !rec.IsEmpty();
         rec = reply.NextChild("recommendation")) {
        rec.NextChild("details");
        const std::int32_t itemTypeId = rec.ChildInt("typeid");
        const std::int32_t itemId = rec.ChildInt("itemid");
        auto recommendation = std::make_unique<Recommendation>(itemId, itemTypeId);
        // The details are read from just after the first </itemid> on.
        for (XmlElement detail = rec.NextChild("detail"); !detail.IsEmpty(); detail = rec.NextChild("detail")) {
            recommendation->AddDetail(detail.Child("name").Text(), detail.Child("value").Text());
        }
        if (recommendation->IsComplete()) {
            list.push_back(std::move(recommendation));
        } else {
            VORN_LOG(LogLevel::Warning) << "XML Error : rec Verify Error " << rec.Text();
        }
    }
    return kEngineOk;
}

int VornClientEngine::SubmitRatings(std::int32_t userId, const std::map<std::int32_t, std::int32_t>& ratings) {
    if (!ready_) {
        return kEngineNotReady;
    }
    XmlElement request("<request><type>RatingsRequest</type><userid></userid><ratings></ratings></request>");
    request.SetChildInt("userid", userId);
    std::string logText;
    for (const auto& [itemId, rating] : ratings) {
        logText += " [itemID : " + std::to_string(itemId) + " rating : " + std::to_string(rating) + "] ";
        XmlElement fields;
        fields.AddChildInt("itemid", itemId);
        fields.AddChildInt("value", rating);
        XmlElement element("<rating></rating>");
        element.SetChild("rating", fields);
        request.SetChild("ratings", element);
    }
    XmlElement reply;
    const bool acknowledged = ratingsAcknowledged_;
    int result = SendRequest(request, acknowledged ? &reply : nullptr);
    if (result == kEngineOk && acknowledged) {
        result = ReadRatingsAcknowledgement(reply, ratings.size());
    }
    if (result == kEngineOk) {
        VORN_LOG(LogLevel::Fine) << "FINE : VornClientEngine : Submitted ratings " << logText;
    }
    Disconnect();
    return result;
}

int VornClientEngine::ReadRatingsAcknowledgement(XmlElement& reply, std::size_t sent) {
    if (reply.Child("type").Text() != "RatingsRequestResponse") {
        VORN_LOG(LogLevel::Warning) << "VornClientEngine : The station did not acknowledge the ratings";
        return kEngineBadReply;
    }
    // Ratings the station cannot use (an item it no longer has) are acknowledged
    // too, as not stored: sending them again would not change that.
    const std::int32_t stored = reply.ChildInt("stored");
    if (stored < 0 || static_cast<std::size_t>(stored) < sent) {
        VORN_LOG(LogLevel::Warning) << "VornClientEngine : The station stored " << stored << " of " << sent
                                    << " ratings and refused the others";
    }
    return kEngineOk;
}

}  // namespace vorn
