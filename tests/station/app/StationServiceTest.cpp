#include "station/app/StationService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "station/recommend/NeighbourRefresher.h"
#include "station/store/ListenerToken.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "xml/XmlElement.h"

namespace vorn::station::test {
namespace {

std::string RecommendationsRequest(int user, int count, int type = 1) {
    return "<request><count>" + std::to_string(count) + "</count><typeid>" + std::to_string(type) +
           "</typeid><userid>" + std::to_string(user) + "</userid><type>RecommendationsRequest</type></request>";
}

std::string Stored(int count) {
    return "<type>RatingsRequestResponse</type><stored>" + std::to_string(count) + "</stored>";
}

std::string RatingsRequest(int user, const std::vector<std::pair<int, int>>& ratings) {
    std::string xml = "<request><type>RatingsRequest</type><userid>" + std::to_string(user) + "</userid><ratings>";
    for (const auto& [item, value] : ratings) {
        xml += "<rating><itemid>" + std::to_string(item) + "</itemid><value>" + std::to_string(value) +
               "</value></rating>";
    }
    return xml + "</ratings></request>";
}

// The item ids of a reply, read the way the client reads them.
std::vector<int> ItemIds(const std::string& reply) {
    std::vector<int> ids;
    XmlElement element(reply);
    element.Child("type");
    for (;;) {
        XmlElement rec = element.NextChild("recommendation");
        if (rec.IsEmpty()) {
            return ids;
        }
        ids.push_back(rec.ChildInt("itemid"));
    }
}

class StationServiceTest : public ::testing::Test {
protected:
    StationServiceTest() : parts_(dir_.Path()) {}

    // The reply, "" for none, or "(reset)".
    std::string Handle(const std::string& xml) {
        const HandlerResult result = parts_.service->HandleRequest(xml);
        return result.kind == HandlerResult::Kind::Reset ? "(reset)" : result.reply;
    }
    int NewUser() {
        return XmlElement(Handle("<request><type>NewUserRequest</type><details></details></request>"))
            .ChildInt("userid");
    }

    CapturedLog log_;
    vorn::test::TempDir dir_;
    StationParts parts_;
};

TEST_F(StationServiceTest, NewUsersGetAscendingPositiveIds) {
    EXPECT_EQ(Handle("<request><type>NewUserRequest</type><details></details></request>"),
              "<type>NewUserRequestResponse</type><userid>1</userid>");
    EXPECT_EQ(Handle("<request><type>NewUserRequest</type><details><name>b</name><value>2</value></details>"
                     "</request>"),
              "<type>NewUserRequestResponse</type><userid>2</userid>");
    EXPECT_EQ(parts_.store.Listeners(), (std::vector<std::int32_t>{1, 2}));
}

// The details the client acts on keep their order and values; the Source link
// carries the listener's page token and Why comes last. The reason is kept
// with the recent record, as told, for the item page.
TEST_F(StationServiceTest, RecommendationReplyHasTheExactForm) {
    ItemRecord item = FakeItem(1, "Ada <Vale>", "First Light", "<Ambient>");
    item.title = "Slow Tide";
    ASSERT_TRUE(parts_.catalogue->Publish({item}));
    const int user = NewUser();
    const std::string reply = Handle(RecommendationsRequest(user, 1, 3));
    const std::string token = parts_.store.TokenOf(user);
    ASSERT_TRUE(ListenerToken::IsWellFormed(token)) << token;
    EXPECT_EQ(reply,
              "<type>RecommendationsRequestResponse</type><recommendation><itemid>1</itemid><typeid>3</typeid>"
              "<details>"
              "<detail><name>url</name><value>http://media.test:8000/media/1.mp3</value></detail>"
              "<detail><name>Source</name><value>http://media.test:8000/item/1.html?l=" + token + "</value></detail>"
              "<detail><name>Filename</name><value>Ada _Vale_ - Slow Tide [1].mp3</value></detail>"
              "<detail><name>Artist</name><value>Ada (Vale)</value></detail>"
              "<detail><name>Title</name><value>Slow Tide</value></detail>"
              "<detail><name>Album</name><value>First Light</value></detail>"
              "<detail><name>Genre</name><value>(Ambient)</value></detail>"
              "<detail><name>Why</name><value>New for you: exploring (Ambient)</value></detail>"
              "</details></recommendation>");
    parts_.recorder->Flush();
    EXPECT_EQ(parts_.store.WhyRecommended(user, 1), "New for you: exploring (Ambient)");
    // A later reply carries the same token.
    EXPECT_NE(Handle(RecommendationsRequest(user, 1, 3)).find("/item/1.html?l=" + token + "<"), std::string::npos);
}

// The Why of a pick the listener's ratings made names them, here the liked
// artist (the only group with ratings: no albums, no genres); the reply's
// order stays url, Source, Filename, Artist, Title, Album, Genre, Why.
TEST_F(StationServiceTest, WhyComesLastAndNamesTheLikedArtist) {
    std::vector<ItemRecord> items;
    for (int n = 1; n <= 40; ++n) {
        items.push_back(FakeItem(n, n <= 20 ? "Static Orchard" : "Artist " + std::to_string(n), "", ""));
    }
    ASSERT_TRUE(parts_.catalogue->Publish(items));
    const int user = NewUser();
    std::vector<std::pair<int, int>> ratings;
    for (int n = 1; n <= 40; n += 2) {
        ratings.emplace_back(n, n <= 20 ? 5 : 1);
    }
    ASSERT_EQ(Handle(RatingsRequest(user, ratings)), Stored(20));
    int liked = 0;
    for (int round = 0; round < 3; ++round) {
        XmlElement reply(Handle(RecommendationsRequest(user, 3)));
        reply.Child("type");
        for (;;) {
            XmlElement recommendation = reply.NextChild("recommendation");
            if (recommendation.IsEmpty()) {
                break;
            }
            XmlElement details = recommendation.Child("details");
            std::vector<std::string> names;
            std::string why;
            for (;;) {
                XmlElement detail = details.NextChild("detail");
                if (detail.IsEmpty()) {
                    break;
                }
                names.push_back(detail.Child("name").Text());
                why = detail.Child("value").Text();
            }
            EXPECT_EQ(names, (std::vector<std::string>{"url", "Source", "Filename", "Artist", "Title", "Album",
                                                       "Genre", "Why"}));
            if (recommendation.ChildInt("itemid") <= 20) {
                // An exploration pick that lands on the liked artist says it is liked.
                EXPECT_EQ(why, "Because you like Static Orchard");
                ++liked;
            } else {
                EXPECT_EQ(why.rfind("New for you", 0), 0u) << why;
            }
        }
    }
    EXPECT_GE(liked, 3);
}

TEST_F(StationServiceTest, RecommendsDistinctPresentItemsUpToTheCount) {
    std::vector<ItemRecord> items;
    for (int n = 1; n <= 30; ++n) {
        items.push_back(FakeItem(n, "Artist " + std::to_string(n % 5), "Album", "Genre"));
    }
    ASSERT_TRUE(parts_.catalogue->Publish(items));
    const int user = NewUser();
    const std::vector<int> four = ItemIds(Handle(RecommendationsRequest(user, 4)));
    EXPECT_EQ(four.size(), 4u);
    EXPECT_EQ(std::set<int>(four.begin(), four.end()).size(), 4u);
    // A count of zero or below gives a reply without items; a huge count is capped.
    EXPECT_EQ(Handle(RecommendationsRequest(user, 0)), "<type>RecommendationsRequestResponse</type>");
    EXPECT_EQ(Handle(RecommendationsRequest(user, -3)), "<type>RecommendationsRequestResponse</type>");
    const std::vector<int> all = ItemIds(Handle(RecommendationsRequest(user, 1000000)));
    EXPECT_EQ(all.size(), 30u);
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), 30u);
}

TEST_F(StationServiceTest, RatingsAreStoredOnceEachAndBadOnesIgnored) {
    std::vector<ItemRecord> items;
    for (int n = 1; n <= 5; ++n) {
        items.push_back(FakeItem(n, "A", "B", "C"));
    }
    ASSERT_TRUE(parts_.catalogue->Publish(items));
    const int user = NewUser();
    EXPECT_EQ(Handle(RatingsRequest(user, {{4, 1}, {2, 5}})), Stored(2));
    EXPECT_EQ(Handle(RatingsRequest(user, {{2, 3}, {3, 0}, {5, 6}, {99, 4}})), Stored(1));
    // None usable: acknowledged all the same, or the client would send them for ever.
    EXPECT_EQ(Handle(RatingsRequest(user, {{5, 6}, {99, 4}})), Stored(0));
    // Without a listener they are not stored: the client keeps them.
    EXPECT_EQ(Handle(RatingsRequest(0, {{4, 1}})), "(reset)");
    const std::vector<RatingRecord> stored = parts_.store.LoadRatings();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].item, 2);
    EXPECT_EQ(stored[0].value, 3);  // the later rating replaced the first
    EXPECT_EQ(stored[1].item, 4);
    EXPECT_EQ(stored[1].value, 1);
    EXPECT_TRUE(log_.Contains("rating 0 of item 3 from user 1 is outside 1 to 5, ignored"));
    EXPECT_TRUE(log_.Contains("rating 6 of item 5 from user 1 is outside 1 to 5, ignored"));
    EXPECT_TRUE(log_.Contains("rating of the unknown item 99"));
    // Rated items are never offered again.
    for (int round = 0; round < 5; ++round) {
        for (int id : ItemIds(Handle(RecommendationsRequest(user, 4)))) {
            EXPECT_NE(id, 2);
            EXPECT_NE(id, 4);
        }
    }
}

// A reset, not the end of a connection without an answer, tells the client
// at once that it must keep them.
TEST_F(StationServiceTest, RatingsTheStoreCannotTakeAreRefusedWithAReset) {
    ASSERT_TRUE(parts_.catalogue->Publish({FakeItem(1, "A", "B", "C")}));
    const int user = NewUser();
    parts_.store.Close();
    EXPECT_EQ(Handle(RatingsRequest(user, {{1, 4}})), "(reset)");
    EXPECT_TRUE(log_.Contains("cannot store 1 ratings of user 1"));
}

TEST_F(StationServiceTest, MalformedRequestsAreLoggedAndGetNoReply) {
    ASSERT_TRUE(parts_.catalogue->Publish({FakeItem(1, "A", "B", "C")}));
    const int user = NewUser();
    const std::string bad[] = {
        "",
        std::string("\0\x01\xff garbage", 12),
        "<request><type>DeleteEverything</type></request>",
        "<request><type>RecommendationsRequest</type><userid>1</userid></request>",      // no count
        "<request><count>2</count><type>RecommendationsRequest</type></request>",        // no user
        RecommendationsRequest(0, 2),
        RecommendationsRequest(-5, 2),
        "<request><type>RecommendationsRequest",
    };
    for (const std::string& request : bad) {
        EXPECT_EQ(Handle(request), "") << request;
    }
    EXPECT_EQ(Handle("<request><type>RatingsRequest</type><userid>1</userid><ratings><rating><itemid>1</itemid>"
                     "</rating></ratings></request>"),
              Stored(0));
    EXPECT_TRUE(log_.Contains("unknown request type \"DeleteEverything\""));
    EXPECT_TRUE(log_.Contains("RecommendationsRequest without a count"));
    EXPECT_TRUE(log_.Contains("RecommendationsRequest for the invalid user id -5"));
    EXPECT_TRUE(log_.Contains("incomplete rating from user 1 ignored"));
    EXPECT_TRUE(parts_.store.LoadRatings().empty());
    EXPECT_EQ(user, 1);
}

TEST_F(StationServiceTest, AnUnknownUserIdIsAdopted) {
    ASSERT_TRUE(parts_.catalogue->Publish({FakeItem(1, "A", "B", "C"), FakeItem(2, "A", "B", "C")}));
    EXPECT_EQ(ItemIds(Handle(RecommendationsRequest(41, 1))).size(), 1u);
    EXPECT_EQ(Handle(RatingsRequest(41, {{1, 4}})), Stored(1));
    EXPECT_TRUE(log_.Contains("adopted the user id 41"));
    EXPECT_EQ(parts_.store.Listeners(), (std::vector<std::int32_t>{41}));
    ASSERT_EQ(parts_.store.LoadRatings().size(), 1u);
    // New ids are handed out above the adopted one.
    EXPECT_EQ(NewUser(), 42);
}

// What a loved genre's ratings look like is learnt from the ratings of what
// the station offered, through the protocol: 48 listeners each love one of 12
// genres, ask for picks and rate them; the background build fits the genre
// model and says what it found.
TEST_F(StationServiceTest, TheGenreModelIsLearntFromRatingsOfOffers) {
    std::vector<ItemRecord> items;
    for (int n = 1; n <= 240; ++n) {
        const std::string genre = "Genre " + std::to_string(n % 12);
        items.push_back(FakeItem(n, genre + " artist " + std::to_string(n / 12 % 4), "", genre));
    }
    ASSERT_TRUE(parts_.catalogue->Publish(items));
    for (int l = 0; l < 48; ++l) {
        const int user = NewUser();
        for (int round = 0; round < 4; ++round) {
            std::vector<std::pair<int, int>> ratings;
            for (int item : ItemIds(Handle(RecommendationsRequest(user, 4)))) {
                ratings.emplace_back(item, item % 12 == l % 12 ? 4 + item % 2 : 2 + item % 3);
            }
            ASSERT_EQ(Handle(RatingsRequest(user, ratings)), Stored(static_cast<int>(ratings.size())));
        }
    }
    NeighbourRefresher refresher(parts_.store, *parts_.recommender, std::chrono::hours(1), NeighbourSettings{},
                                 [this] { return parts_.catalogue->Current(); });
    ASSERT_TRUE(vorn::test::WaitFor([&] { return refresher.Builds() == 1; }));
    EXPECT_TRUE(log_.Contains("NeighbourRefresher : listeners love ")) << log_.Text();
    EXPECT_TRUE(log_.Contains(" % of the genres they were offered, rated ")) << log_.Text();
}

// A station learns from its listeners in seconds, not at the next interval:
// once they have rated 20 items since the last build, the item neighbours and
// priors are built again, and a newcomer's first pick is what they loved.
// Fewer ratings wait for the interval, and the ratings a build was made from
// do not count towards the next.
TEST_F(StationServiceTest, TheListenersRatingsReachTheNextNewcomerWithinSeconds) {
    std::vector<ItemRecord> items;
    for (int n = 1; n <= 30; ++n) {
        items.push_back(FakeItem(n, "Artist " + std::to_string(n), "Album " + std::to_string(n),
                                 "Genre " + std::to_string(n)));
    }
    ASSERT_TRUE(parts_.catalogue->Publish(items));
    const auto rateLovedAndHated = [&](int listeners) {
        for (int l = 0; l < listeners; ++l) {
            ASSERT_EQ(Handle(RatingsRequest(NewUser(), {{17, 5}, {3, 1}})), Stored(2));
        }
    };
    // One listener's ratings are there before the start, so the start's own
    // build is seen to be over before the others rate.
    rateLovedAndHated(1);
    NeighbourRefresher refresher(parts_.store, *parts_.recommender, std::chrono::hours(1), NeighbourSettings{},
                                 [this] { return parts_.catalogue->Current(); });
    ASSERT_TRUE(vorn::test::WaitFor([&] { return refresher.Builds() == 1; }));
    const auto stays = [&](int builds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // longer than the refresher's look
        return refresher.Builds() == builds;
    };
    rateLovedAndHated(9);
    EXPECT_TRUE(stays(1));
    rateLovedAndHated(1);
    ASSERT_TRUE(vorn::test::WaitFor([&] { return refresher.Builds() == 2; }));
    EXPECT_TRUE(log_.Contains("from 22 ratings")) << log_.Text();
    EXPECT_EQ(ItemIds(Handle(RecommendationsRequest(NewUser(), 1))), std::vector<int>{17});

    rateLovedAndHated(9);
    EXPECT_TRUE(stays(2));
    rateLovedAndHated(1);
    EXPECT_TRUE(vorn::test::WaitFor([&] { return refresher.Builds() == 3; }));
    EXPECT_TRUE(log_.Contains("from 42 ratings")) << log_.Text();
}

}  // namespace
}  // namespace vorn::station::test
