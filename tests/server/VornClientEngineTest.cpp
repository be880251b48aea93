#include "server/VornClientEngine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "foundation/LogTable.h"
#include "foundation/Preferences.h"
#include "tests/server/StationPeer.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using test::StationPeer;

constexpr const char* kRecommendationsReply =
    "<type>RecommendationsRequestResponse</type>"
    "<recommendation><itemid>101</itemid><typeid>1</typeid><details>"
    "<detail><name>url</name><value>http://media.example:8081/m/101.mp3</value></detail>"
    "<detail><name>Source</name><value>http://shop.example/101</value></detail>"
    "<detail><name>Filename</name><value>101.mp3</value></detail>"
    "<detail><name>Artist</name><value>First Artist</value></detail>"
    "</details></recommendation>"
    "<recommendation><itemid>102</itemid><typeid>1</typeid><details>"
    "<detail><name>url</name><value>http://media.example/m/102.mp3</value></detail>"
    "<detail><name>Source</name><value>http://shop.example/102</value></detail>"
    "</details></recommendation>"
    "<recommendation><itemid>103</itemid><typeid>1</typeid><details>"
    "<detail><name>url</name><value>http://media.example/m/103.mp3</value></detail>"
    "<detail><name>Source</name><value>http://shop.example/103</value></detail>"
    "<detail><name>Filename</name><value>103.mp3</value></detail>"
    "<detail><name>Title</name><value>Third</value></detail>"
    "</details></recommendation>";

class VornClientEngineTest : public ::testing::Test {
protected:
    void SetUp() override { OpenLog(kGlobalLogName, kGlobalLogFile, 0); }
    void TearDown() override { CloseAllLogs(); }

    std::string Log() const { return test::ReadFile(home / "logs/vorn.log"); }
    int Initialise() { return engine.Initialise("127.0.0.1", peer.Port()); }
    std::string KeyReply(const std::string& builds) {
        return "<type>PublicKeyResponse</type><pubkey>" + peer.PublicKeyBase64() + "</pubkey><builds>" + builds +
               "</builds>";
    }
    static std::string Build(const std::string& platform, int min, int latest) {
        return "<build><platform>" + platform + "</platform><min>" + std::to_string(min) + "</min><latest>" +
               std::to_string(latest) + "</latest></build>";
    }

    test::IsolatedHome home;
    Preferences preferences;  // the isolated store: no proxy
    StationPeer peer;
    VornClientEngine engine{&preferences};
};

TEST_F(VornClientEngineTest, KeyExchangeIsOnePlainGetAndMakesTheEngineReady) {
    EXPECT_FALSE(engine.IsReady());
    ASSERT_EQ(Initialise(), kEngineOk);
    EXPECT_TRUE(engine.IsReady());
    EXPECT_EQ(peer.Heads(), std::vector<std::string>{"GET / HTTP/1.0\r\n\r\n"});
    EXPECT_NE(Log().find("FINE : Loaded Public Key\n "), std::string::npos);
    EXPECT_EQ(peer.LingeringConnections(), 0);
}

TEST_F(VornClientEngineTest, BuildWalkDecidesOnTheFirstWindowsBuildThatRules) {
    struct Case {
        std::string builds;
        int result;
    };
    const std::vector<Case> cases = {
        {Build("windows", 10, 12) + Build("windows", 10, 14), kEngineNewerBuild},
        {Build("windows", 14, 20), kEngineBuildTooOld},
        {Build("windows", 13, 13) + Build("windows", 14, 14), kEngineBuildTooOld},
        {Build("windows", 10, 14) + Build("windows", 14, 14), kEngineNewerBuild},
        {Build("mac", 99, 99) + Build("windows", 13, 13), kEngineOk},
        {Build("Windows", 99, 99), kEngineOk},
        {"", kEngineOk},
    };
    for (const Case& c : cases) {
        peer.SetKeyExchangeReply(KeyReply(c.builds));
        EXPECT_EQ(Initialise(), c.result) << c.builds;
        EXPECT_EQ(engine.IsReady(), c.result != kEngineBuildTooOld) << c.builds;
    }
    // The station's own reply publishes one build.
    peer.SetKeyExchangeReply("");
    VornClientEngine newer{&preferences};
    StationPeer newerPeer(station::BuildInfo{13, 15});
    EXPECT_EQ(newer.Initialise("127.0.0.1", newerPeer.Port()), kEngineNewerBuild);
    StationPeer strictPeer(station::BuildInfo{14, 15});
    EXPECT_EQ(newer.Initialise("127.0.0.1", strictPeer.Port()), kEngineBuildTooOld);
    EXPECT_FALSE(newer.IsReady());
}

TEST_F(VornClientEngineTest, UnusableKeyExchangeRepliesLeaveTheEngineNotReady) {
    peer.SetKeyExchangeReply("<type>KeyResponse</type><pubkey>" + peer.PublicKeyBase64() + "</pubkey>");
    EXPECT_EQ(Initialise(), kEngineBadReply);
    peer.SetKeyExchangeReply("<type>PublicKeyResponse</type><pubkey>bm90IGEga2V5</pubkey>");
    EXPECT_EQ(Initialise(), kEngineBadReply);
    EXPECT_FALSE(engine.IsReady());
    EXPECT_NE(Log().find("VornClientEngine : Unusable public key"), std::string::npos);
    EXPECT_EQ(Log().find("Loaded Public Key"), std::string::npos);

    // A retry against a sound reply makes the engine ready.
    peer.SetKeyExchangeReply("");
    EXPECT_EQ(Initialise(), kEngineOk);
    EXPECT_TRUE(engine.IsReady());
    EXPECT_EQ(peer.LingeringConnections(), 0);
}

TEST_F(VornClientEngineTest, KeyExchangeWithoutAnswerFailsWithCode1) {
    test::LoopbackServer closer([](test::LoopbackServer::Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("<type>PublicKeyResponse</type>\r\n");
    });
    EXPECT_EQ(engine.Initialise("127.0.0.1", closer.Port()), kEngineCommsFailed);
    EXPECT_NE(Log().find("*****WARNING***** : Error Receiving Public Key%i\n "), std::string::npos);

    const std::uint16_t port = closer.Port();
    closer.Stop();
    EXPECT_EQ(engine.Initialise("127.0.0.1", port), kEngineCommsFailed);  // nobody listens
    EXPECT_FALSE(engine.IsReady());
}

TEST_F(VornClientEngineTest, NothingIsSentBeforeASuccessfulKeyExchange) {
    XmlElement reply;
    EXPECT_EQ(engine.SendRequest(XmlElement("<request></request>"), &reply), kEngineNotReady);
    std::int32_t userId = -1;
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineNotReady);
    VornClientEngine::RecommendationList list;
    EXPECT_EQ(engine.GetRecommendations(1, 1, 4, list), kEngineNotReady);
    EXPECT_EQ(engine.SubmitRatings(1, {{1, 5}}), kEngineNotReady);
    EXPECT_EQ(peer.Accepted(), 0);
    EXPECT_EQ(userId, -1);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(Log().find("Submitted ratings"), std::string::npos);
}

TEST_F(VornClientEngineTest, RegistrationSendsDetailsInDescendingNameOrder) {
    ASSERT_EQ(Initialise(), kEngineOk);
    peer.SetAnswer([](const std::string&) { return "<type>NewUserRequestResponse</type><userid>1234</userid>"; });
    std::int32_t userId = 0;
    ASSERT_EQ(engine.RegisterUser(userId, {{"b", "2"}, {"a", "1"}}), kEngineOk);
    EXPECT_EQ(userId, 1234);
    ASSERT_EQ(engine.RegisterUser(userId, {}), kEngineOk);
    EXPECT_EQ(peer.Requests(),
              (std::vector<std::string>{"<request><type>NewUserRequest</type><details><name>b</name><value>2</value>"
                                        "<name>a</name><value>1</value></details></request>",
                                        "<request><type>NewUserRequest</type><details></details></request>"}));
    // One connection per request, each closed by the client.
    EXPECT_EQ(peer.Accepted(), 3);
    EXPECT_EQ(peer.LingeringConnections(), 0);
    const std::string head = peer.Heads().at(1);
    EXPECT_EQ(head.rfind("GET /", 0), 0u);
    EXPECT_EQ(head.substr(head.size() - 13), " HTTP/1.0\r\n\r\n");
    EXPECT_NE(head.find("\r\n"), head.size() - 13);  // line breaks inside the token
    EXPECT_TRUE(peer.Errors().empty());
}

TEST_F(VornClientEngineTest, RegistrationRejectsUnusableReplies) {
    ASSERT_EQ(Initialise(), kEngineOk);
    std::int32_t userId = 55;

    peer.SetAnswer([](const std::string&) { return "<type>NewUserRequestResponse</type><userid>0</userid>"; });
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineBadReply);
    EXPECT_EQ(userId, 0);  // written even though unusable

    userId = 55;
    peer.SetAnswer([](const std::string&) { return "<type>PublicKeyResponse</type><userid>9</userid>"; });
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineBadReply);
    peer.SetAnswer([](const std::string&) { return "<type>NewUserRequestResponse</type>"; });
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineBadReply);
    EXPECT_EQ(userId, 55);

    // Rubbish that decrypts to no XML, and an empty reply.
    peer.SetRawResponse("QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUE=\r\n\r\n");
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineBadReply);
    peer.SetRawResponse("\r\n\r\n");
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineBadReply);

    // The station closing without an answer is a receive failure.
    peer.SetRawResponse("");
    peer.SetAnswer(nullptr);
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineCommsFailed);
    EXPECT_EQ(userId, 55);
    EXPECT_TRUE(peer.Errors().empty());
}

TEST_F(VornClientEngineTest, RecommendationsKeepCompleteRecordsInReplyOrder) {
    ASSERT_EQ(Initialise(), kEngineOk);
    peer.SetAnswer([](const std::string&) { return std::string(kRecommendationsReply); });
    VornClientEngine::RecommendationList list;
    list.push_back(std::make_unique<Recommendation>(1, 1));  // what the caller had stays
    ASSERT_EQ(engine.GetRecommendations(1234, 1, 3, list), kEngineOk);

    EXPECT_EQ(peer.Requests(), std::vector<std::string>{"<request><count>3</count><typeid>1</typeid>"
                                                        "<userid>1234</userid><type>RecommendationsRequest</type>"
                                                        "</request>"});
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1]->ItemId(), 101);
    EXPECT_EQ(list[1]->TypeId(), 1);
    EXPECT_EQ(list[1]->MediaUrl().Host(), "media.example");
    EXPECT_EQ(list[1]->MediaUrl().Port(), 8081);
    EXPECT_EQ(list[1]->SourceUrl().Url(), "http://shop.example/101");
    EXPECT_EQ(list[1]->FileName(), "101.mp3");
    EXPECT_EQ(list[1]->Detail("Artist"), "First Artist");
    EXPECT_EQ(list[2]->ItemId(), 103);
    EXPECT_EQ(list[2]->Detail("Title"), "Third");

    const std::string log = Log();
    const std::string warning =
        "*****WARNING***** : XML Error : rec Verify Error <itemid>102</itemid><typeid>1</typeid><details>"
        "<detail><name>url</name><value>http://media.example/m/102.mp3</value></detail>"
        "<detail><name>Source</name><value>http://shop.example/102</value></detail></details> ";
    EXPECT_NE(log.find(warning), std::string::npos) << log;
    EXPECT_EQ(log.find("rec Verify Error"), log.rfind("rec Verify Error"));
}

TEST_F(VornClientEngineTest, RecommendationsFollowTheSearchPositions) {
    ASSERT_EQ(Initialise(), kEngineOk);
    // A recommendation before the type is not seen; details are read from just
    // after the item id on, wherever the type id stands.
    peer.SetAnswer([](const std::string&) {
        return "<recommendation><itemid>1</itemid><details>"
               "<detail><name>url</name><value>u</value></detail><detail><name>Source</name><value>s</value>"
               "</detail><detail><name>Filename</name><value>f</value></detail></details></recommendation>"
               "<type>RecommendationsRequestResponse</type>"
               "<recommendation><detail><name>Artist</name><value>Early</value></detail><itemid>2</itemid>"
               "<detail><name>Artist</name><value>Middle</value></detail><typeid>7</typeid><details>"
               "<detail><name>url</name><value>u2</value></detail><detail><name>Source</name><value>s2</value>"
               "</detail><detail><name>Filename</name><value>f2</value></detail>"
               "<detail><name>Artist</name><value>Late</value></detail></details></recommendation>";
    });
    VornClientEngine::RecommendationList list;
    ASSERT_EQ(engine.GetRecommendations(5, 2, 0, list), kEngineOk);
    EXPECT_EQ(peer.Requests().at(0), "<request><count>0</count><typeid>2</typeid><userid>5</userid>"
                                     "<type>RecommendationsRequest</type></request>");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->ItemId(), 2);
    EXPECT_EQ(list[0]->TypeId(), 7);
    EXPECT_EQ(list[0]->Detail("Artist"), "Middle");
}

TEST_F(VornClientEngineTest, RecommendationRepliesOfTheWrongKind) {
    ASSERT_EQ(Initialise(), kEngineOk);
    VornClientEngine::RecommendationList list;

    peer.SetAnswer([](const std::string&) { return "<type>RecommendationsRequestResponse</type>"; });
    EXPECT_EQ(engine.GetRecommendations(1, 1, 4, list), kEngineOk);
    EXPECT_TRUE(list.empty());

    peer.SetAnswer([](const std::string&) { return "<type>NewUserRequestResponse</type>"; });
    EXPECT_EQ(engine.GetRecommendations(1, 1, 4, list), kEngineBadReply);
    EXPECT_NE(Log().find("*****WARNING***** : XML Type Error : Not a RecommendationsRequestResponse "),
              std::string::npos);

    peer.SetRawResponse("\r\n\r\n");
    EXPECT_EQ(engine.GetRecommendations(1, 1, 4, list), kEngineBadReply);
    EXPECT_NE(Log().find("*****WARNING***** : XML Zero Length Error "), std::string::npos);

    peer.SetRawResponse("");
    peer.SetAnswer(nullptr);
    EXPECT_EQ(engine.GetRecommendations(1, 1, 4, list), kEngineCommsFailed);
    EXPECT_TRUE(list.empty());
}

TEST_F(VornClientEngineTest, RatingsGoOutInDescendingItemOrderWithoutReadingAReply) {
    ASSERT_EQ(Initialise(), kEngineOk);
    peer.SetAnswer([](const std::string&) { return ""; });
    EXPECT_EQ(engine.SubmitRatings(7, {{12, 5}, {40, 1}}), kEngineOk);
    EXPECT_EQ(engine.SubmitRatings(-3, {}), kEngineOk);
    ASSERT_TRUE(test::WaitFor([&] { return peer.Requests().size() == 2; }));
    EXPECT_EQ(peer.Requests(),
              (std::vector<std::string>{"<request><type>RatingsRequest</type><userid>7</userid><ratings>"
                                        "<rating><itemid>40</itemid><value>1</value></rating>"
                                        "<rating><itemid>12</itemid><value>5</value></rating></ratings></request>",
                                        "<request><type>RatingsRequest</type><userid>-3</userid><ratings></ratings>"
                                        "</request>"}));
    const std::string log = Log();
    EXPECT_NE(log.find("FINE : VornClientEngine : Submitted ratings  [itemID : 12 rating : 5]  "
                       "[itemID : 40 rating : 1]  "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("FINE : VornClientEngine : Submitted ratings  "), std::string::npos);
    EXPECT_TRUE(test::WaitFor([&] { return peer.Accepted() == 3; }));
    EXPECT_EQ(peer.LingeringConnections(), 0);
}

// A station that announces acknowledgements is believed only when it gives
// one; what a station announced is learnt anew by every key exchange.
TEST_F(VornClientEngineTest, RatingsCountAsSubmittedToAnAcknowledgingStationOnlyOnItsAcknowledgement) {
    StationPeer acknowledging(station::BuildInfo{}, true);
    acknowledging.SetAnswer([](const std::string& xml) -> std::string {
        if (xml.find("<itemid>13</itemid>") != std::string::npos) return "";  // ends without a word
        if (xml.find("<itemid>14</itemid>") != std::string::npos) return "<type>NewUserRequestResponse</type>";
        return "<type>RatingsRequestResponse</type><stored>1</stored>";
    });
    ASSERT_EQ(engine.Initialise("127.0.0.1", acknowledging.Port()), kEngineOk);
    EXPECT_TRUE(engine.AcknowledgesRatings());
    EXPECT_EQ(engine.SubmitRatings(7, {{12, 5}, {40, 1}}), kEngineOk);
    EXPECT_NE(Log().find("FINE : VornClientEngine : Submitted ratings  [itemID : 12 rating : 5]  "
                         "[itemID : 40 rating : 1]  "),
              std::string::npos);
    EXPECT_NE(Log().find("VornClientEngine : The station stored 1 of 2 ratings and refused the others"),
              std::string::npos);
    EXPECT_EQ(engine.SubmitRatings(7, {{13, 5}}), kEngineCommsFailed);
    EXPECT_EQ(engine.SubmitRatings(7, {{14, 5}}), kEngineBadReply);
    acknowledging.SetResetting(true);
    EXPECT_EQ(engine.SubmitRatings(7, {{15, 5}}), kEngineCommsFailed);
    EXPECT_EQ(acknowledging.Requests().size(), 4u);
    for (int item : {13, 14, 15}) {
        EXPECT_EQ(Log().find("[itemID : " + std::to_string(item)), std::string::npos) << item;
    }
    EXPECT_EQ(acknowledging.LingeringConnections(), 0);

    // A station that announces nothing next: no reply is read, though it would never send one.
    ASSERT_EQ(Initialise(), kEngineOk);
    EXPECT_FALSE(engine.AcknowledgesRatings());
    peer.SetSilent(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine.SubmitRatings(7, {{16, 5}}), kEngineOk);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(VornClientEngineTest, AStationThatIsGoneFailsRequestsWithCode1) {
    ASSERT_EQ(Initialise(), kEngineOk);
    peer.Stop();
    EXPECT_EQ(engine.SubmitRatings(7, {{12, 5}}), kEngineCommsFailed);
    std::int32_t userId = 0;
    EXPECT_EQ(engine.RegisterUser(userId, {}), kEngineCommsFailed);
    const std::string log = Log();
    EXPECT_NE(log.find("*****WARNING***** : VornClientEngine : Error sending request "), std::string::npos);
    EXPECT_EQ(log.find("Submitted ratings"), std::string::npos);
}

TEST_F(VornClientEngineTest, AbortEndsARequestStuckOnASilentStation) {
    ASSERT_EQ(Initialise(), kEngineOk);
    peer.SetSilent(true);
    auto request = std::async(std::launch::async, [&] {
        VornClientEngine::RecommendationList list;
        return engine.GetRecommendations(1, 1, 4, list);
    });
    ASSERT_TRUE(test::WaitFor([&] { return peer.Heads().size() == 2; }));
    const auto start = std::chrono::steady_clock::now();
    engine.Abort();
    ASSERT_EQ(request.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(request.get(), kEngineCommsFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // From now on nothing reaches the station, not even after a new Initialise.
    EXPECT_EQ(engine.SubmitRatings(1, {{1, 1}}), kEngineCommsFailed);
    EXPECT_EQ(Initialise(), kEngineCommsFailed);
    EXPECT_EQ(peer.Accepted(), 2);
}

TEST_F(VornClientEngineTest, RegistersGetsRecommendationsAndSubmitsRatingsAgainstTheStation) {
    // A small station: hands out user 77, recommends what is asked for, keeps ratings.
    std::mutex mutex;  // guards ratings, touched by the peer's thread
    std::string ratings;
    peer.SetAnswer([&](const std::string& xml) -> std::string {
        XmlElement request(xml);
        const std::string type = request.Child("type").Text();
        if (type == "NewUserRequest") {
            return "<type>NewUserRequestResponse</type><userid>77</userid>";
        }
        if (type == "RecommendationsRequest") {
            if (request.ChildInt("userid") != 77) {
                return "";
            }
            std::string reply = "<type>RecommendationsRequestResponse</type>";
            for (int i = 1; i <= request.ChildInt("count"); ++i) {
                const std::string id = std::to_string(500 + i);
                reply += "<recommendation><itemid>" + id + "</itemid><typeid>1</typeid><details>"
                         "<detail><name>url</name><value>http://127.0.0.1:9/" + id + ".mp3</value></detail>"
                         "<detail><name>Source</name><value>http://127.0.0.1:9/about/" + id + "</value></detail>"
                         "<detail><name>Filename</name><value>" + id + ".mp3</value></detail>"
                         "<detail><name>Artist</name><value>Artist " + id + "</value></detail>"
                         "</details></recommendation>";
            }
            return reply;
        }
        std::lock_guard lock(mutex);
        ratings = request.Child("ratings").Text();
        return "";
    });

    ASSERT_EQ(Initialise(), kEngineOk);
    std::int32_t userId = 0;
    ASSERT_EQ(engine.RegisterUser(userId, {}), kEngineOk);
    ASSERT_EQ(userId, 77);
    VornClientEngine::RecommendationList list;
    ASSERT_EQ(engine.GetRecommendations(userId, 1, 4, list), kEngineOk);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[3]->MediaUrl().Path(), "/504.mp3");
    EXPECT_EQ(list[3]->Detail("Artist"), "Artist 504");
    ASSERT_EQ(engine.SubmitRatings(userId, {{list[0]->ItemId(), 4}, {list[3]->ItemId(), 2}}), kEngineOk);
    ASSERT_TRUE(test::WaitFor([&] {
        std::lock_guard lock(mutex);
        return !ratings.empty();
    }));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(ratings, "<rating><itemid>504</itemid><value>2</value></rating>"
                           "<rating><itemid>501</itemid><value>4</value></rating>");
    }
    EXPECT_TRUE(peer.Errors().empty());
    EXPECT_EQ(peer.Accepted(), 4);
}

}  // namespace
}  // namespace vorn
