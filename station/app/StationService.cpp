#include "station/app/StationService.h"

#include <map>

#include "station/base/StationLog.h"
#include "station/media/TranscodeQueue.h"
#include "station/protocol/CoreTurns.h"
#include "xml/XmlElement.h"

namespace vorn::station {
namespace {

// The store may wait for its disk or its server: the request's core serves
// other requests meanwhile.
template <typename Call>
auto Stored(Call&& call) {
    const CoreTurns::Away away;
    return call();
}

// The start of a request's text for a log line, with its line breaks shown.
std::string Excerpt(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 120)) {
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '.' : c;
    }
    return text.size() > 120 ? out + "..." : out;
}

HandlerResult ReplyOrNothing(std::string reply) {
    return reply.empty() ? HandlerResult::Nothing() : HandlerResult::Reply(std::move(reply));
}

HandlerResult RatingsStored(std::size_t count) {
    return HandlerResult::Reply("<type>RatingsRequestResponse</type><stored>" + std::to_string(count) + "</stored>");
}

}  // namespace

StationService::StationService(StationStore& store, Catalogue& catalogue, Recommender& recommender,
                               RecentRecorder& recorder, MediaLinks links, const MediaFacts* facts,
                               MediaWorkQueue* media, TranscodeQueue* mp3s)
    : store_(store), catalogue_(catalogue), recommender_(recommender), recorder_(recorder),
      links_(std::move(links)), facts_(facts), media_(media), mp3s_(mp3s), tokens_(store) {}

HandlerResult StationService::HandleRequest(const std::string& requestXml) {
    XmlElement request(requestXml);
    const std::string type = request.Child("type").Text();
    if (type == "NewUserRequest") {
        return ReplyOrNothing(NewUser());
    }
    if (type != "RecommendationsRequest" && type != "RatingsRequest") {
        STATION_LOG(LogLevel::Warning) << "StationService : unknown request type \"" << Excerpt(type)
                                       << "\" in : " << Excerpt(requestXml);
        return HandlerResult::Nothing();
    }
    const bool ratings = type == "RatingsRequest";
    // Ratings that cannot be stored for want of a listener are refused with a
    // reset: the client keeps them for a request that names one.
    const HandlerResult refused = ratings ? HandlerResult::Reset() : HandlerResult::Nothing();
    if (!request.HasChild("userid")) {
        STATION_LOG(LogLevel::Warning) << "StationService : " << type << " without a user id : "
                                       << Excerpt(requestXml);
        return refused;
    }
    const std::int32_t listener = request.ChildInt("userid");
    if (listener < 1) {
        STATION_LOG(LogLevel::Warning) << "StationService : " << type << " for the invalid user id " << listener;
        return refused;
    }
    if (!KnowListener(listener)) {
        return refused;
    }
    if (ratings) {
        return Ratings(listener, requestXml);
    }
    if (!request.HasChild("count")) {
        STATION_LOG(LogLevel::Warning) << "StationService : RecommendationsRequest without a count : "
                                       << Excerpt(requestXml);
        return HandlerResult::Nothing();
    }
    return ReplyOrNothing(Recommendations(listener, request.ChildInt("typeid"), request.ChildInt("count")));
}

bool StationService::KnowListener(std::int32_t listener) {
    if (recommender_.Knows(listener)) {
        return true;
    }
    if (!Stored([&] { return store_.EnsureListener(listener); })) {
        STATION_LOG(LogLevel::Severe) << "StationService : cannot record the user id " << listener;
        return false;
    }
    STATION_LOG(LogLevel::Info) << "StationService : adopted the user id " << listener
                                << " that this station had not handed out";
    recommender_.AddListener(listener);
    return true;
}

std::string StationService::NewUser() {
    const std::int32_t id = Stored([&] { return store_.NewListener(); });
    if (id < 1) {
        STATION_LOG(LogLevel::Severe) << "StationService : cannot register a new user";
        return {};
    }
    recommender_.AddListener(id);
    STATION_LOG(LogLevel::Info) << "StationService : new user " << id;
    return "<type>NewUserRequestResponse</type><userid>" + std::to_string(id) + "</userid>";
}

std::string StationService::Recommendations(std::int32_t listener, std::int32_t typeId, std::int32_t count) {
    const bool shared = store_.Shared();
    if (shared) {
        ListenerRecords records;
        if (!Stored([&] { return store_.LoadListener(listener, recommender_.RecentWindow(), records); })) {
            STATION_LOG(LogLevel::Severe) << "StationService : cannot read the ratings of user " << listener
                                          << "; no recommendations this time";
            return {};
        }
        recommender_.Resync(listener, records);
    }
    const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_.Current();
    std::vector<PickReason> reasons;
    const std::vector<std::int32_t> items = recommender_.Recommend(listener, count, *snapshot, &reasons);
    if (items.empty() && count > 0) {
        STATION_LOG(LogLevel::Info) << "StationService : nothing left to recommend to user " << listener;
    }
    // The reasons as the reply tells them, kept with the recent records for
    // the item pages.
    std::vector<RecentRecord> records;
    std::vector<const CatalogueEntry*> entries;
    for (std::size_t k = 0; k < items.size(); ++k) {
        entries.push_back(snapshot->Find(items[k]));
        records.push_back({listener, items[k], DetailValue(reasons[k].Text(*entries.back(), *snapshot), "")});
    }
    if (shared && !records.empty() && !Stored([&] { return recorder_.RecordNow(records); })) {
        STATION_LOG(LogLevel::Severe) << "StationService : cannot record the recommendations for user " << listener
                                      << "; none sent this time";
        return {};
    }
    if (mp3s_ != nullptr && !entries.empty()) {
        // The client asks for the files as soon as it has the answer.
        std::vector<ItemRecord> picked;
        picked.reserve(entries.size());
        for (const CatalogueEntry* entry : entries) {
            picked.push_back(entry->record);
        }
        mp3s_->Prepare(picked);
    }
    std::string reply;
    reply.reserve(1024 * records.size() + 64);
    reply += "<type>RecommendationsRequestResponse</type>";
    const std::string type = std::to_string(typeId);
    const std::string token = items.empty() ? std::string() : tokens_.TokenOf(listener);
    for (std::size_t k = 0; k < records.size(); ++k) {
        const RecentRecord& record = records[k];
        reply += "<recommendation><itemid>";
        reply += std::to_string(record.item);
        reply += "</itemid><typeid>";
        reply += type;
        reply += "</typeid>";
        reply += DetailsXml(entries[k]->record, links_, token, record.why,
                            facts_ != nullptr ? facts_->DetailsOf(entries[k]->record) : MediaDetails());
        reply += "</recommendation>";
    }
    if (media_ != nullptr && !items.empty()) {
        media_->Prioritise(items);
    }
    if (!shared) {
        recorder_.Add(std::move(records));  // handed over last: the reply above reads them
    }
    return reply;
}

HandlerResult StationService::Ratings(std::int32_t listener, const std::string& requestXml) {
    XmlElement request(requestXml);
    XmlElement list = request.Child("ratings");
    const std::shared_ptr<const CatalogueSnapshot> snapshot = catalogue_.Current();
    std::map<std::int32_t, std::int32_t> accepted;  // item id → value; a later rating of an item wins
    for (;;) {
        const std::int32_t before = list.Position();
        XmlElement rating = list.NextChild("rating");
        if (list.Position() == before) {
            break;
        }
        if (!rating.HasChild("itemid") || !rating.HasChild("value")) {
            STATION_LOG(LogLevel::Warning) << "StationService : incomplete rating from user " << listener
                                           << " ignored : " << Excerpt(rating.Text());
            continue;
        }
        const std::int32_t item = rating.ChildInt("itemid");
        const std::int32_t value = rating.ChildInt("value");
        if (value < 1 || value > 5) {
            STATION_LOG(LogLevel::Warning) << "StationService : rating " << value << " of item " << item
                                           << " from user " << listener << " is outside 1 to 5, ignored";
            continue;
        }
        if (snapshot->Find(item) == nullptr) {
            STATION_LOG(LogLevel::Warning) << "StationService : rating of the unknown item " << item
                                           << " from user " << listener << " ignored";
            continue;
        }
        accepted[item] = value;
    }
    if (accepted.empty()) {
        return RatingsStored(0);
    }
    const std::vector<std::pair<std::int32_t, std::int32_t>> ratings(accepted.begin(), accepted.end());
    if (!Stored([&] { return store_.StoreRatings(listener, ratings); })) {
        STATION_LOG(LogLevel::Severe) << "StationService : cannot store " << ratings.size()
                                      << " ratings of user " << listener << "; the request is refused with a reset";
        return HandlerResult::Reset();
    }
    recommender_.ApplyRatings(listener, ratings);
    STATION_LOG(LogLevel::Fine) << "StationService : stored " << ratings.size() << " ratings of user " << listener
                                << " :" << [&] {
                                       std::string list;
                                       for (const auto& [item, value] : ratings) {
                                           list += " " + std::to_string(item) + "=" + std::to_string(value);
                                       }
                                       return list;
                                   }();
    return RatingsStored(ratings.size());
}

}  // namespace vorn::station
