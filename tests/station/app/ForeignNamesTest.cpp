// A music folder whose file names and tags are partly in Latin-1 as Windows
// writes it, served by the station on SQLite and on PostgreSQL: both offer
// every file, as the same item with the same details, and every text of the
// replies and pages is UTF-8 with the right characters.
#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <tuple>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "station/store/OpenStationStore.h"
#include "station/app/StationProgram.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/PgCluster.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"

namespace vorn::station::test {
namespace {

// What the client is told of one item: its id and details.
using Offered = std::tuple<std::int32_t, std::string, std::string, std::string, std::string, std::string>;
// What the store keeps of one item: id, path, artist, title, album, genre.
using Stored = std::tuple<std::int32_t, std::string, std::string, std::string, std::string, std::string>;

struct Served {
    std::map<std::string, Offered> offered;  // by title
    std::vector<Stored> stored;
};

bool Utf8(const std::string& text) { return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr); }

class ForeignNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(music_);
        // Untagged: the title is the file name, in Windows-1252 or in UTF-8.
        ASSERT_TRUE(WriteSilentMp3(latin1File_, 1, 1));
        ASSERT_TRUE(WriteSilentMp3(music_ + "/\xc3\x9cn\xc3\xaf" "code \xe2\x9c\x93.mp3", 1, 2));
        // ID3v2 frames declared Latin-1 holding Windows-1252, and one holding UTF-8.
        const std::string tagged = music_ + "/tagged.mp3";
        ASSERT_TRUE(WriteSilentMp3(tagged, 1, 3));
        ASSERT_TRUE(TagMp3Bytes(tagged, "Bj\xf6rk \x96 Live", "\x93Jolie\x94 \x80", "Fa\xc3\xa7" "ade",
                                "Chanson fran\xe7" "aise"));
        const std::string old = music_ + "/old.mp3";
        ASSERT_TRUE(WriteSilentMp3(old, 1, 4));
        ASSERT_TRUE(TagMp3Bytes(old, "M\xfcller", "Gr\xfc\xdf Gott \x80", "Br\xe4u", "Jazz", true));
    }

    // Serves the folder from `database` (Offer), then reads what the store
    // keeps of it, every text UTF-8.
    Served Serve(const std::string& database, const std::string& name) {
        Served served;
        Offer(database, name, served.offered);
        std::string error;
        const std::unique_ptr<StationStore> store = OpenStationStore(database, error);
        EXPECT_TRUE(store) << error;
        for (const ItemRecord& item : store ? store->LoadItems() : std::vector<ItemRecord>()) {
            for (const std::string* text : {&item.artist.str(), &item.title, &item.album.str(), &item.genre.str()}) {
                EXPECT_TRUE(Utf8(*text)) << name << " keeps " << *text;
            }
            served.stored.emplace_back(item.id, item.path, item.artist, item.title, item.album, item.genre);
        }
        return served;
    }

    // Runs the station on `database` and checks what a listener gets: the
    // details of every item, its page and its file, and the listener's page.
    void Offer(const std::string& database, const std::string& name, std::map<std::string, Offered>& offered) {
        StationOptions options = TestStationOptions(music_, home_ / name);
        options.database = database;
        StationProgram station;
        std::string error;
        EXPECT_TRUE(station.Start(options, error)) << error;
        Preferences direct;
        VornClientEngine engine(&direct);
        std::int32_t user = 0;
        VornClientEngine::RecommendationList list;
        if (engine.Initialise("127.0.0.1", station.ProtocolPort()) != kEngineOk ||
            engine.RegisterUser(user, {}) != kEngineOk || engine.GetRecommendations(user, 1, 10, list) != kEngineOk) {
            ADD_FAILURE() << "no recommendations from " << name << "\n" << log_.Text();
            return;
        }
        std::map<std::int32_t, std::int32_t> ratings;
        std::string listenerPage;
        for (const auto& rec : list) {
            const Recommendation::DetailMap& details = rec->Details();
            for (const auto& [detail, value] : details) {
                EXPECT_TRUE(Utf8(value)) << name << ": " << detail << " = " << value;
            }
            offered[rec->Detail("Title")] = {rec->ItemId(), rec->FileName(), rec->Detail("Artist"),
                                             rec->Detail("Album"), rec->Detail("Genre"), rec->Detail("Why")};
            ratings[rec->ItemId()] = 5;

            const std::string source = rec->SourceUrl().Url();
            const std::string page = Exchange(station.MediaPort(), "GET " + source.substr(source.find("/item/")) +
                                                                       " HTTP/1.0\r\n\r\n");
            EXPECT_NE(page.find("200 OK"), std::string::npos) << page;
            EXPECT_TRUE(Utf8(page)) << name << ": " << page;
            EXPECT_NE(page.find("<h1>" + rec->Detail("Title") + "</h1>"), std::string::npos) << page;
            const std::size_t link = page.find("href=\"/listener/");
            if (link != std::string::npos) {
                listenerPage = page.substr(link + 6, page.find('"', link + 6) - link - 6);
            }
        }
        EXPECT_EQ(offered.size(), 4u) << name << "\n" << log_.Text();

        // The file named in Latin-1 is served from its path as the store keeps it.
        if (const auto found = offered.find("Café € Noir"); found != offered.end()) {
            const std::string target = "/media/" + std::to_string(std::get<0>(found->second)) + ".mp3";
            const std::string media = Exchange(station.MediaPort(), "GET " + target + " HTTP/1.0\r\n\r\n");
            EXPECT_NE(media.find("200 OK"), std::string::npos) << name << ": " << media.substr(0, 200);
            EXPECT_NE(media.find("Content-Length: " + std::to_string(std::filesystem::file_size(latin1File_))),
                      std::string::npos);
        }

        // The listener page names what was rated, every name as UTF-8.
        EXPECT_EQ(engine.SubmitRatings(user, ratings), kEngineOk);
        std::string page;
        EXPECT_TRUE(vorn::test::WaitFor([&] {
            page = Exchange(station.MediaPort(), "GET " + listenerPage + " HTTP/1.0\r\n\r\n");
            return page.find("4 ratings in all.") != std::string::npos;
        })) << name << ": " << page;
        EXPECT_TRUE(Utf8(page)) << name << ": " << page;
        for (const char* shown : {"Unknown Artist - Café € Noir", "Unknown Artist - Ünïcode ✓",
                                  "Björk – Live - “Jolie” €</td><td>Façade",
                                  "Müller - Grüß Gott €</td><td>Bräu", "<strong>Björk – Live</strong>",
                                  "<strong>Chanson française</strong>"}) {
            EXPECT_NE(page.find(shown), std::string::npos) << name << ": " << shown << "\n" << page;
        }
        station.Stop();
    }

    vorn::test::IsolatedHome home_;
    vorn::test::ScopedLog clientLog_;
    CapturedLog log_;
    const std::string music_ = home_ / "music";
    const std::string latin1File_ = music_ + "/Caf\xe9 \x80 Noir.mp3";
};

TEST_F(ForeignNamesTest, BothStoresOfferEveryFileWithItsTextsInUtf8) {
    const Served sqlite = Serve("sqlite:" + home_ / "station.db", "sqlite");
    ASSERT_FALSE(HasFailure());
    const std::map<std::string, Offered>& onSqlite = sqlite.offered;
    const std::map<std::string, std::tuple<std::string, std::string, std::string>> expected = {
        {"Café € Noir", {"Unknown Artist", "Unknown Album", "Unknown Genre"}},
        {"Ünïcode ✓", {"Unknown Artist", "Unknown Album", "Unknown Genre"}},
        {"“Jolie” €", {"Björk – Live", "Façade", "Chanson française"}},
        {"Grüß Gott €", {"Müller", "Bräu", "Jazz"}},
    };
    for (const auto& [title, tags] : expected) {
        ASSERT_EQ(onSqlite.count(title), 1u) << title;
        const Offered& item = onSqlite.at(title);
        EXPECT_EQ(std::make_tuple(std::get<2>(item), std::get<3>(item), std::get<4>(item)), tags) << title;
    }

    PgCluster cluster;
    if (!cluster.Installed()) GTEST_SKIP() << cluster.Problem();
    ASSERT_TRUE(cluster.Running()) << cluster.Problem();
    const Served postgres = Serve(cluster.Url(), "postgresql");
    EXPECT_EQ(postgres.offered, onSqlite);
    EXPECT_EQ(postgres.stored, sqlite.stored);
}

}  // namespace
}  // namespace vorn::station::test
