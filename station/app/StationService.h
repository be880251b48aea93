#pragma once

#include <cstdint>
#include <string>

#include "station/catalogue/Catalogue.h"
#include "station/catalogue/ItemDetails.h"
#include "station/media/MediaFacts.h"
#include "station/media/MediaWorkQueue.h"
#include "station/store/RecentRecorder.h"
#include "station/recommend/Recommender.h"
#include "station/store/StationStore.h"
#include "station/store/TokenCache.h"

#include "station/protocol/RequestHandler.h"

namespace vorn::station {

class TranscodeQueue;

// Answers the decrypted requests of a client:
//   NewUserRequest          → <type>NewUserRequestResponse</type><userid>N</userid>
//   RecommendationsRequest  → <type>RecommendationsRequestResponse</type> and one
//                             <recommendation> per item (item id first, then type id
//                             and details; the Source link carries the listener's
//                             page token, Art and Gain tell what is known of
//                             the item's file, and Why what made the pick)
//   RatingsRequest          → <type>RatingsRequestResponse</type><stored>N</stored>
//                             once the request's usable ratings are committed (N
//                             of them; 0 when none was usable, so the client does
//                             not send them again); a reset, and no reply, when
//                             they could not be stored (the store failed, or the
//                             request names no valid user id), so the client
//                             keeps them
// Anything else (unknown types, missing fields, malformed text) is logged and
// answered with nothing.
//
// A positive user id the station does not know (its data folder was replaced
// while the client kept its id) is adopted rather than refused, so the
// listener can go on. Safe to call from several threads at once.
class StationService final : public RequestHandler {
public:
    // `facts` gives the Art and Gain details (none without it); `media` is
    // told of the items recommended, so that their art and loudness come first;
    // `mp3s`, when given, makes the MP3s of the items recommended that are
    // not MP3s, so that the client's download finds them made or under way.
    StationService(StationStore& store, Catalogue& catalogue, Recommender& recommender,
                   RecentRecorder& recorder, MediaLinks links, const MediaFacts* facts = nullptr,
                   MediaWorkQueue* media = nullptr, TranscodeQueue* mp3s = nullptr);
    StationService(const StationService&) = delete;
    StationService& operator=(const StationService&) = delete;

    HandlerResult HandleRequest(const std::string& requestXml) override;
    bool AcknowledgesRatings() const override { return true; }

private:
    std::string NewUser();
    std::string Recommendations(std::int32_t listener, std::int32_t typeId, std::int32_t count);
    HandlerResult Ratings(std::int32_t listener, const std::string& requestXml);
    bool KnowListener(std::int32_t listener);

    StationStore& store_;
    Catalogue& catalogue_;
    Recommender& recommender_;
    RecentRecorder& recorder_;
    const MediaLinks links_;
    const MediaFacts* const facts_;
    MediaWorkQueue* const media_;
    TranscodeQueue* const mp3s_;
    TokenCache tokens_;
};

}  // namespace vorn::station
