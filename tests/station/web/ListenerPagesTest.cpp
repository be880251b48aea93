// The listener page and the item page's additions, rendered and served by the
// media host: the summary behind them, escaping of hostile tags, the chart's
// bars, and answers to tokens that do not open a page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <regex>

#include "station/web/ListenerSummary.h"
#include "station/web/MediaSite.h"
#include "station/web/SitePages.h"
#include "tests/station/support/StationTestSupport.h"

namespace vorn::station::test {
namespace {

const std::string kHostile = "<script>alert(1)</script>";

// A snapshot as the catalogue makes it: items grouped by the lowercase of
// their artist and genre tags.
std::shared_ptr<const CatalogueSnapshot> Snapshot(const std::vector<ItemRecord>& records) {
    std::map<std::string, GroupId> groups;
    const auto group = [&](const std::string& kind, std::string name) {
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        return name.empty() ? kNoGroup : groups.emplace(kind + name, groups.size() + 1).first->second;
    };
    std::vector<CatalogueEntry> entries;
    for (const ItemRecord& record : records) {
        entries.push_back({record, group("a", record.artist), kNoGroup, group("g", record.genre)});
    }
    return std::make_shared<CatalogueSnapshot>(std::move(entries), 1);
}

ItemRecord Item(int id, const std::string& artist, const std::string& genre) {
    ItemRecord item = FakeItem(id, artist, "Album " + std::to_string(id), genre);
    item.id = id;
    return item;
}

// (stars, count) of every bar of the chart, in document order.
std::vector<std::pair<int, int>> Bars(const std::string& html) {
    std::vector<std::pair<int, int>> bars;
    const std::regex bar(R"re(<rect class="bar" data-stars="(\d)" data-count="(\d+)"[^>]* height="(\d+)")re");
    for (std::sregex_iterator it(html.begin(), html.end(), bar), end; it != end; ++it) {
        bars.emplace_back(std::stoi((*it)[1]), std::stoi((*it)[2]));
    }
    return bars;
}

TEST(ListenerSummaryTest, CountsRanksAndKeepsTheLastTwenty) {
    std::vector<ItemRecord> records;
    std::vector<RatedItem> history;  // last given first
    for (int id = 1; id <= 10; ++id) {
        records.push_back(Item(id, id == 4 ? "STEADY" : "Steady", "Folk"));  // one artist, however written
        history.push_back({id, 4, 2000 - id});
    }
    records.push_back(Item(11, "Once", "Techno"));
    history.push_back({11, 5, 900});
    for (int id = 12; id <= 24; ++id) {
        records.push_back(Item(id, "Disliked", "Jazz"));
        history.push_back({id, 1, 800 - id});
    }
    history.push_back({99, 3, 10});  // gone from the catalogue
    history.push_back({12, 9, 5});   // not a rating
    const ListenerSummary summary = ListenerSummary::Build(history, *Snapshot(records));
    EXPECT_EQ(summary.starCounts, (std::array<int, 5>{13, 0, 1, 10, 1}));
    // Ten fours outrank a single five; the disliked artist is no favourite.
    ASSERT_EQ(summary.artists.size(), 2u);
    EXPECT_EQ(summary.artists[0].name, "Steady");
    EXPECT_EQ(summary.artists[0].ratings, 10);
    EXPECT_DOUBLE_EQ(summary.artists[0].average, 4.0);
    EXPECT_EQ(summary.artists[1].name, "Once");
    ASSERT_EQ(summary.genres.size(), 2u);
    EXPECT_EQ(summary.genres[0].name, "Folk");
    ASSERT_EQ(summary.lastRated.size(), ListenerSummary::kLastRated);
    EXPECT_EQ(summary.lastRated.front().item.id, 1);
    EXPECT_EQ(summary.lastRated.front().updated, 1999);
    EXPECT_EQ(summary.lastRated.back().item.id, 20);
}

TEST(ListenerPageTest, HostileTagsShowAsTextAndTheChartHoldsEveryCount) {
    std::vector<ItemRecord> records = {Item(1, kHostile, "\"><img src=x onerror=alert(2)>"), Item(2, "B & C", "Folk")};
    records[0].title = "</td></tr></table><b>bold";
    const std::vector<RatedItem> history = {{1, 5, 1700000000}, {2, 5, 1600000000}, {1, 2, 1500000000}};
    const std::string page = ListenerPage(ListenerSummary::Build(history, *Snapshot(records)));
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt; - &lt;/td&gt;&lt;/tr&gt;&lt;/table&gt;&lt;b&gt;bold"),
              std::string::npos);
    EXPECT_NE(page.find("&quot;&gt;&lt;img src=x onerror=alert(2)&gt;"), std::string::npos);
    EXPECT_NE(page.find("B &amp; C"), std::string::npos);
    EXPECT_NE(page.find("2023-11-14 22:13 UTC"), std::string::npos);
    EXPECT_EQ(Bars(page), (std::vector<std::pair<int, int>>{{1, 0}, {2, 1}, {3, 0}, {4, 0}, {5, 2}}));
    // Heights follow the counts: the tallest bar fills the plot, an empty one is flat.
    EXPECT_NE(page.find("data-stars=\"5\" data-count=\"2\" x=\"302\" y=\"24\" width=\"44\" height=\"128\""),
              std::string::npos);
    EXPECT_NE(page.find("data-stars=\"2\" data-count=\"1\" x=\"86\" y=\"88\" width=\"44\" height=\"64\""),
              std::string::npos);
    EXPECT_NE(page.find("data-stars=\"1\" data-count=\"0\" x=\"14\" y=\"152\" width=\"44\" height=\"0\""),
              std::string::npos);

    const std::string empty = ListenerPage(ListenerSummary::Build({}, *Snapshot(records)));
    EXPECT_NE(empty.find("Nothing rated yet."), std::string::npos);
    EXPECT_EQ(Bars(empty).size(), 5u);
}

// Served pages: the listener page opens only for a known token; everything
// else, the listener's numeric id included, gets one and the same 404. The
// item page tells the token's owner why the track was picked and links their
// page; for anyone else it is the plain page.
class ListenerPagesTest : public ::testing::Test {
protected:
    ListenerPagesTest() : parts_(dir_.Path()) {
        ItemRecord hostile = FakeItem(1, kHostile, "Album", "Ambient");
        EXPECT_TRUE(parts_.catalogue->Publish({hostile, FakeItem(2, "B", "Album", "Ambient")}));
        listener_ = parts_.store.NewListener();
        EXPECT_TRUE(parts_.store.StoreRatings(listener_, {{1, 5}}));
        EXPECT_TRUE(parts_.store.AppendRecent({{listener_, 2, "Because you like " + kHostile}}));
        token_ = parts_.store.TokenOf(listener_);
        site_ = std::make_unique<MediaSite>(parts_.store, *parts_.catalogue, MediaLinks{"media.test", 8000}, false);
    }

    MediaResponse Get(const std::string& target, const std::string& method = "GET") {
        HttpRequestHead head;
        std::string error;
        EXPECT_TRUE(ParseRequestHead(method + " " + target + " HTTP/1.1\r\nHost: media.test:8000\r\n\r\n", head, error))
            << error;
        return site_->Respond(head, false);
    }

    vorn::test::TempDir dir_;
    StationParts parts_;
    std::int32_t listener_ = 0;
    std::string token_;
    std::unique_ptr<MediaSite> site_;
};

TEST_F(ListenerPagesTest, OnlyTheWholeTokenOpensTheListenerPage) {
    const MediaResponse page = Get("/listener/" + token_);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.head.find("\r\nCache-Control: private, no-store\r\nReferrer-Policy: no-referrer\r\n"),
              std::string::npos);
    EXPECT_NE(page.body.find("Your listening"), std::string::npos);
    EXPECT_NE(page.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(page.body.find("<script"), std::string::npos);
    EXPECT_EQ(Bars(page.body), (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 1}}));
    EXPECT_EQ(Get("/listener/" + token_, "HEAD").body, "");

    std::string wrong = token_;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    const MediaResponse unknown = Get("/listener/" + std::string(32, '0'));
    EXPECT_EQ(unknown.status, 404);
    const std::vector<std::string> closed = {"/listener/" + wrong, "/listener/" + token_.substr(0, 16),
                                             "/listener/" + token_ + "0", "/listener/" + std::to_string(listener_),
                                             "/listener/", "/listener/" + token_ + "/", "/listener/%3Cscript%3E"};
    for (const std::string& target : closed) {
        const MediaResponse answer = Get(target);
        EXPECT_EQ(answer.head, unknown.head) << target;
        EXPECT_EQ(answer.body, unknown.body) << target;
    }
}

TEST_F(ListenerPagesTest, TheItemPageTellsItsOwnerWhyAndLinksTheirPage) {
    const std::string plain = Get("/item/2.html").body;
    EXPECT_EQ(plain.find("/listener/"), std::string::npos);
    EXPECT_EQ(plain.find("Why this track"), std::string::npos);

    const MediaResponse ownedAnswer = Get("/item/2.html?l=" + token_);
    EXPECT_NE(ownedAnswer.head.find("Referrer-Policy: no-referrer"), std::string::npos);
    EXPECT_EQ(Get("/item/2.html").head.find("Referrer-Policy"), std::string::npos);
    const std::string owned = ownedAnswer.body;
    EXPECT_NE(owned.find("Why this track: <em>Because you like &lt;script&gt;alert(1)&lt;/script&gt;</em>"),
              std::string::npos);
    EXPECT_NE(owned.find("<a class=\"listener\" href=\"/listener/" + token_ + "\">"), std::string::npos);
    EXPECT_EQ(owned.find("<script"), std::string::npos);
    // Not recommended to this listener: no reason, still their link.
    const std::string unexplained = Get("/item/1.html?x=1&l=" + token_).body;
    EXPECT_EQ(unexplained.find("Why this track"), std::string::npos);
    EXPECT_NE(unexplained.find("href=\"/listener/" + token_ + "\""), std::string::npos);

    std::string wrong = token_;
    wrong.front() = wrong.front() == '0' ? '1' : '0';
    EXPECT_EQ(Get("/item/2.html?l=" + wrong).body, plain);
    EXPECT_EQ(Get("/item/2.html?l=" + std::to_string(listener_)).body, plain);

    // A reason that an earlier station kept as a Windows-1252 tag gave it.
    ASSERT_TRUE(parts_.store.AppendRecent({{listener_, 1, "Because you like Caf\xe9"}}));
    EXPECT_NE(Get("/item/1.html?l=" + token_).body.find("Why this track: <em>Because you like Caf\xc3\xa9</em>"),
              std::string::npos);
}

}  // namespace
}  // namespace vorn::station::test
