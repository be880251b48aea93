#pragma once

// The station's request handling as vorn-station assembles it: a store in a
// folder, a catalogue of a few records, the recommender, the recent-plays
// recorder and the service, behind the protocol core with the fixed key pair
// of the token vectors. Shared by the station harnesses and the corpus maker.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/catalogue/Catalogue.h"
#include "station/store/RecentRecorder.h"
#include "station/recommend/Recommender.h"
#include "station/app/StationService.h"
#include "station/store/SqliteStore.h"
#include "station/protocol/ProtocolCore.h"
#include "station/protocol/StationKey.h"
#include "tests/server/TokenVectors.h"
#include "xml/XmlElement.h"

namespace vorn::fuzz {

inline const station::StationKey& FixedStationKey() {
    static const station::StationKey key = *station::StationKey::FromPem(test::vectors::kPrivateKeyPem);
    return key;
}

// The demo records, each with a file of its own size in `musicFolder` (the
// media host serves them); their names for listeners ("Artist - Title
// [id].mp3") are the ones the playlist harness keeps in its media folder.
inline std::vector<station::ItemRecord> DemoRecords(const std::string& musicFolder) {
    const char* const rows[][4] = {{"Ada Vale", "Slow Tide", "First Light", "Ambient"},
                                   {"Ada Vale", "First Light", "First Light", "Ambient"},
                                   {"Bo Reyes", "Night Road", "Streets", "Folk"},
                                   {"Bo Reyes", "Quiet Hour", "Streets", "Folk"}};
    std::vector<station::ItemRecord> records;
    int n = 0;
    for (const auto& row : rows) {
        station::ItemRecord item;
        item.path = musicFolder + "/" + std::to_string(++n) + ".mp3";
        item.artist = row[0];
        item.title = row[1];
        item.album = row[2];
        item.genre = row[3];
        item.lengthSeconds = 180 + n;
        item.fileSize = 4000 + n;
        std::ofstream(item.path, std::ios::binary) << std::string(static_cast<std::size_t>(item.fileSize), 'm');
        records.push_back(item);
    }
    return records;
}

class StationFixture {
public:
    // Where the fixture's replies say the media host is.
    static station::MediaLinks Links() { return {"127.0.0.1", 8000}; }

    // folder: where the store goes; it is emptied first.
    // Called with every decrypted request and the service's reply.
    using Observer = std::function<void(const std::string& request, const std::string& reply)>;

    explicit StationFixture(const std::string& folder, Observer observer = nullptr)
        : forwarder_(*this), observer_(std::move(observer)) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        std::filesystem::create_directories(folder + "/music", ec);
        store_.Open(folder + "/station.db");
        catalogue_ = std::make_unique<station::Catalogue>(store_, folder + "/music");
        catalogue_->Load();
        catalogue_->Publish(DemoRecords(folder + "/music"));
        station::RecommenderSettings settings;
        settings.seed = 7;
        recommender_ = std::make_unique<station::Recommender>(settings);
        recommender_->Load(store_.Listeners(), store_.LoadRatings(), store_.LoadRecent(settings.recentWindow));
        recorder_ = std::make_unique<station::RecentRecorder>(store_, settings.recentWindow);
        service_ = std::make_unique<station::StationService>(store_, *catalogue_, *recommender_, *recorder_,
                                                             Links());
        core_ = std::make_unique<station::ProtocolCore>(FixedStationKey(), forwarder_,
                                                        station::BuildInfo{});
    }

    // A listener as a first session leaves one: registered, having rated two
    // items, then given recommendations with their reasons (written to the
    // store at once). Returns the listener's page token, "" when the store
    // could not make one.
    std::string AddListener() {
        const std::int32_t listener =
            XmlElement(service_->HandleRequest("<request><type>NewUserRequest</type></request>").reply).ChildInt("userid");
        const std::string id = std::to_string(listener);
        service_->HandleRequest("<request><type>RatingsRequest</type><userid>" + id +
                                "</userid><ratings><rating><itemid>1</itemid><value>5</value></rating><rating>"
                                "<itemid>3</itemid><value>2</value></rating></ratings></request>");
        service_->HandleRequest("<request><count>2</count><typeid>1</typeid><userid>" + id +
                                "</userid><type>RecommendationsRequest</type></request>");
        recorder_->Flush();
        return store_.TokenOf(listener);
    }

    station::StationService& Service() { return *service_; }
    const station::ProtocolCore& Core() const { return *core_; }
    station::Catalogue& Catalogue() { return *catalogue_; }
    station::StationStore& Store() { return store_; }
    station::RecentRecorder& Recorder() { return *recorder_; }

private:
    class Forwarder : public station::RequestHandler {
    public:
        explicit Forwarder(StationFixture& owner) : owner_(owner) {}
        station::HandlerResult HandleRequest(const std::string& requestXml) override {
            station::HandlerResult result = owner_.service_->HandleRequest(requestXml);
            if (owner_.observer_) {
                owner_.observer_(requestXml, result.reply);
            }
            return result;
        }
        bool AcknowledgesRatings() const override { return owner_.service_->AcknowledgesRatings(); }

    private:
        StationFixture& owner_;
    };

    Forwarder forwarder_;
    Observer observer_;
    station::SqliteStore store_;
    std::unique_ptr<station::Catalogue> catalogue_;
    std::unique_ptr<station::Recommender> recommender_;
    std::unique_ptr<station::RecentRecorder> recorder_;
    std::unique_ptr<station::StationService> service_;
    std::unique_ptr<station::ProtocolCore> core_;
};

}  // namespace vorn::fuzz
