// The operator's tools against the real vorn-station program: the real
// Prometheus scraping its admin port and the real HAProxy in front of two
// stations, each with the repository's configuration as it is, and the
// health check following the database.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "station/protocol/StationKey.h"
#include "station/store/PostgresStore.h"
#include "tests/app/ChildProcess.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/PgCluster.h"
#include "tests/station/support/RawClient.h"
#include "tests/station/support/StationProcess.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

using vorn::test::ChildProcess;
using vorn::test::ProgramOnPath;

const std::string kExamples = std::string(VORN_SOURCE_DIR) + "/packaging/examples/";

// The body of an HTTP answer, after its head; the whole text when it has none.
std::string Body(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? answer : answer.substr(end + 4);
}

std::string Get(int port, const std::string& path, const std::string& host = "127.0.0.1") {
    return Exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n", 5000, host);
}

std::string UrlEncoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

class OperatorToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(music_);
        for (int n = 0; n < 12; ++n) {
            const std::string path = music_ + "/track" + std::to_string(n) + ".mp3";
            ASSERT_TRUE(WriteSilentMp3(path, 1, 300 + n));
            ASSERT_TRUE(TagMp3(path, "Artist " + std::to_string(n % 3), "Song " + std::to_string(n),
                               "Album " + std::to_string(n % 3), n % 2 == 0 ? "Folk" : "Jazz"));
        }
    }

    // A station with its admin port at `admin`, the other ports free ones;
    // its protocol port once it serves.
    std::unique_ptr<StationProcess> Start(const std::string& name, int admin, std::vector<std::string> extra,
                                          int& port) {
        std::vector<std::string> arguments{"--music", music_, "--data", home_ / ("data-" + name), "--rescan", "0",
                                           "--admin-port", std::to_string(admin), "--verbose"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto station = std::make_unique<StationProcess>(arguments, home_ / (name + ".log"));
        port = station->WaitForPort();
        EXPECT_NE(port, 0) << station->Log();
        return station;
    }

    vorn::test::IsolatedHome home_;
    vorn::test::ScopedLog clientLog_;
    const std::string music_ = home_ / "music";
};

// The real Prometheus, with the repository's configuration unchanged and the
// station named in the targets file beside it, reads the counters of the
// requests a client made.
TEST_F(OperatorToolsTest, PrometheusScrapesTheRequestCountersOfARunningStation) {
    const std::string prometheusProgram = ProgramOnPath("prometheus");
    if (prometheusProgram.find('/') == std::string::npos) GTEST_SKIP() << "prometheus is not installed";
    const int admin = FreePort();
    int port = 0;
    auto station = Start("a", admin,
                         {"--port", "0", "--media-port", "0", "--cdn-port", "0", "--max-connections-per-address", "2"},
                         port);
    ASSERT_NE(port, 0);

    // The admin port itself shows what the limits refused, and what is open.
    {
        RawClient first(station->MediaPort()), second(station->MediaPort()), third(station->MediaPort());
        EXPECT_TRUE(third.ResetWithin(5000));
        const std::string metrics = Get(admin, "/metrics");
        EXPECT_NE(metrics.find("\nvorn_station_connections_open{port=\"media\"} 2\n"), std::string::npos) << metrics;
        EXPECT_NE(metrics.find("\nvorn_station_connections_refused_total{port=\"media\",reason=\"address_full\"} 1\n"),
                  std::string::npos)
            << metrics;
    }

    const std::string config = home_ / "prometheus";
    std::filesystem::create_directories(config);
    std::filesystem::copy_file(kExamples + "prometheus.yml", config + "/prometheus.yml");
    WriteFile(config + "/vorn-stations.json", "[{\"targets\": [\"127.0.0.1:" + std::to_string(admin) + "\"]}]\n");
    const int web = FreePort();
    ChildProcess prometheus({prometheusProgram, "--config.file=" + config + "/prometheus.yml",
                             "--storage.tsdb.path=" + config + "/data",
                             "--web.listen-address=127.0.0.1:" + std::to_string(web)},
                            {}, config + "/prometheus.log");
    ASSERT_TRUE(prometheus.Started());

    // One key exchange, one registration, three recommendations and two
    // ratings requests: three ratings stored, one of an unknown item refused.
    Preferences direct;
    VornClientEngine engine(&direct);
    ASSERT_EQ(engine.Initialise("127.0.0.1", port), kEngineOk);
    std::int32_t user = 0;
    ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);
    std::vector<std::int32_t> offered;
    for (int n = 0; n < 3; ++n) {
        VornClientEngine::RecommendationList list;
        ASSERT_EQ(engine.GetRecommendations(user, 1, 2, list), kEngineOk);
        ASSERT_EQ(list.size(), 2u);
        offered.push_back(list[0]->ItemId());
        offered.push_back(list[1]->ItemId());
    }
    ASSERT_EQ(engine.SubmitRatings(user, {{offered[0], 5}, {offered[1], 2}}), kEngineOk);
    ASSERT_EQ(engine.SubmitRatings(user, {{offered[2], 4}, {99999, 3}}), kEngineOk);
    // A file and a page that is not there, from the media host.
    EXPECT_EQ(Get(station->MediaPort(), "/media/" + std::to_string(offered[0]) + ".mp3").substr(0, 12),
              "HTTP/1.0 200");
    EXPECT_EQ(Get(station->MediaPort(), "/nothing.html").substr(0, 12), "HTTP/1.0 404");

    const std::map<std::string, std::string> expected{
        {R"(vorn_station_requests_total{kind="key_exchange",result="ok"})", "1"},
        {R"(vorn_station_requests_total{kind="registration",result="ok"})", "1"},
        {R"(vorn_station_requests_total{kind="recommendations",result="ok"})", "3"},
        {R"(vorn_station_requests_total{kind="ratings",result="ok"})", "2"},
        {R"(vorn_station_requests_total{kind="media",result="2xx"})", "1"},
        {R"(vorn_station_requests_total{kind="pages",result="4xx"})", "1"},
        {R"(vorn_station_request_duration_seconds_bucket{kind="recommendations",le="+Inf"})", "3"},
        {R"(vorn_station_request_duration_seconds_count{kind="ratings"})", "2"},
        {R"(vorn_station_ratings_stored_total)", "3"},
        {R"(vorn_station_ratings_refused_total{reason="invalid"})", "1"},
        {R"(vorn_station_catalogue_items)", "12"},
        {R"(vorn_station_catalogue_items_by_format{format="mp3"})", "12"},
        {R"(vorn_station_catalogue_items_by_format{format="flac"})", "0"},
        {R"(vorn_station_transcode_made_total)", "0"},
    };
    // What Prometheus answers for each query: the value of its one series.
    std::map<std::string, std::string> seen;
    const auto query = [&] {
        for (const auto& [expression, value] : expected) {
            const std::string body = Body(Get(web, "/api/v1/query?query=" + UrlEncoded(expression)));
            const std::size_t at = body.find("\"value\":[");
            const std::size_t open = body.find(",\"", at);
            const std::size_t close = body.find('"', open + 2);
            seen[expression] = at == std::string::npos || close == std::string::npos
                                   ? body
                                   : body.substr(open + 2, close - open - 2);
        }
        return seen == expected;
    };
    EXPECT_TRUE(vorn::test::WaitFor(query, 60000)) << [&] {
        std::string all;
        for (const auto& [expression, value] : seen) {
            all += expression + " = " + value + " (expected " + expected.at(expression) + ")\n";
        }
        return all + Get(admin, "/metrics");
    }();
}

// /healthz says the station cannot serve while its database is away, with
// the reason, and that it can again once the database is back.
TEST_F(OperatorToolsTest, HealthTurnsUnavailableWhileTheDatabaseIsStoppedAndBackAfter) {
    PgCluster cluster;
    if (!cluster.Installed()) GTEST_SKIP() << cluster.Problem();
    ASSERT_TRUE(cluster.Running()) << cluster.Problem();
    const int admin = FreePort();
    int port = 0;
    auto station = Start("pg", admin,
                         {"--database", cluster.Url(), "--port", "0", "--media-port", "0", "--cdn-port", "0"}, port);
    ASSERT_NE(port, 0);
    const auto status = [&] { return Get(admin, "/healthz").substr(0, 12); };
    EXPECT_EQ(status(), "HTTP/1.1 200");
    EXPECT_EQ(Body(Get(admin, "/healthz")), "ok\n");

    ASSERT_TRUE(cluster.Stop());
    EXPECT_TRUE(vorn::test::WaitFor([&] { return status() == "HTTP/1.1 503"; }, 15000)) << station->Log();
    const std::string reason = Body(Get(admin, "/healthz"));
    EXPECT_NE(reason.find("database"), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\n'), reason.size() - 1) << "one line: " << reason;

    ASSERT_TRUE(cluster.Start());
    EXPECT_TRUE(vorn::test::WaitFor([&] { return status() == "HTTP/1.1 200"; }, 20000)) << station->Log();
    EXPECT_TRUE(station->Running());
}

}  // namespace
}  // namespace vorn::station::test

namespace vorn::station::test {
namespace {

// A listener's rating of an item is always the same, so that a rating sent
// again after a failure cannot change what was stored.
std::int32_t ValueOf(std::int32_t listener, std::int32_t item) { return 1 + (listener + item) % 5; }

// The status HAProxy's status page gives a server of a backend ("UP",
// "DOWN", ...), or "" when the page does not list it.
std::string ServerStatus(int statsPort, const std::string& backend, const std::string& server) {
    std::istringstream csv(Body(Get(statsPort, "/stats;csv")));
    for (std::string line; std::getline(csv, line);) {
        std::vector<std::string> fields;
        std::istringstream row(line);
        for (std::string field; std::getline(row, field, ',');) {
            fields.push_back(field);
        }
        if (fields.size() > 17 && fields[0] == backend && fields[1] == server) {
            return fields[17];  // the "status" column
        }
    }
    return "";
}

// Two stations on one PostgreSQL database behind the real HAProxy, with the
// repository's configuration: the listeners' clients get key exchanges,
// recommendations and media through it, and when one station is killed
// under load, HAProxy takes it out within its checks, the clients lose at
// most the requests they had under way, and every rating a station
// acknowledged is in the database.
TEST_F(OperatorToolsTest, TwoStationsBehindHaproxyServeOnWhenOneIsKilled) {
    const std::string haproxyProgram = ProgramOnPath("haproxy");
    if (haproxyProgram.find('/') == std::string::npos) GTEST_SKIP() << "haproxy is not installed";
    PgCluster cluster;
    if (!cluster.Installed()) GTEST_SKIP() << cluster.Problem();
    ASSERT_TRUE(cluster.Running()) << cluster.Problem();
    const std::string keyFile = home_ / "shared-key.pem";
    std::optional<StationKey> key = StationKey::Generate();
    ASSERT_TRUE(key && key->Save(keyFile));

    // The same ports on every station and on the front, as the recipe has it.
    const int protocol = FreePort(), media = FreePort(), admin = FreePort(), stats = FreePort();
    const std::vector<std::string> shared{"--port",       std::to_string(protocol), "--media-port",
                                          std::to_string(media), "--cdn-port", "0",
                                          "--public-host", "127.0.0.1", "--database", cluster.Url(),
                                          "--key",        keyFile};
    std::vector<std::unique_ptr<StationProcess>> stations;
    for (const std::string address : {"127.0.0.2", "127.0.0.3"}) {
        std::vector<std::string> extra{"--bind", address, "--admin-bind", address};
        extra.insert(extra.end(), shared.begin(), shared.end());
        int port = 0;
        stations.push_back(Start(address, admin, extra, port));
        ASSERT_EQ(port, protocol);
    }
    ChildProcess haproxy({haproxyProgram, "-db", "-f", kExamples + "haproxy.cfg"},
                         {"VORN_FRONT=127.0.0.1", "VORN_STATION1=127.0.0.2", "VORN_STATION2=127.0.0.3",
                          "VORN_PROTOCOL_PORT=" + std::to_string(protocol), "VORN_MEDIA_PORT=" + std::to_string(media),
                          "VORN_ADMIN_PORT=" + std::to_string(admin), "VORN_STATS=127.0.0.1:" + std::to_string(stats)},
                         home_ / "haproxy.log");
    const auto allUp = [&] {
        for (const char* backend : {"protocol_stations", "media_stations"}) {
            for (const char* server : {"station1", "station2"}) {
                if (ServerStatus(stats, backend, server) != "UP") return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(vorn::test::WaitFor(allUp, 20000)) << vorn::test::ReadFile(home_ / "haproxy.log");

    // Key exchange, registration, recommendations and media through the front.
    Preferences direct;
    VornClientEngine engine(&direct);
    ASSERT_EQ(engine.Initialise("127.0.0.1", protocol), kEngineOk);
    std::int32_t user = 0;
    ASSERT_EQ(engine.RegisterUser(user, {}), kEngineOk);
    VornClientEngine::RecommendationList list;
    ASSERT_EQ(engine.GetRecommendations(user, 1, 2, list), kEngineOk);
    ASSERT_EQ(list.size(), 2u);
    const std::string file = "/media/" + std::to_string(list[0]->ItemId()) + ".mp3";
    // A whole file: "200" and as many bytes as the head announced (HAProxy
    // writes header names in lower case).
    const auto mediaServed = [&] {
        const std::string answer = Get(media, file);
        std::string head = answer.substr(0, answer.size() - Body(answer).size());
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
        return head.find(" 200 ") < head.find("\r\n") && !Body(answer).empty() &&
               head.find("\r\ncontent-length: " + std::to_string(Body(answer).size()) + "\r\n") !=
                   std::string::npos;
    };
    for (int n = 0; n < 4; ++n) {  // round robin: both stations serve it
        EXPECT_TRUE(mediaServed()) << Get(media, file);
    }

    // Clients one request at a time each, rating every other recommendation.
    // A request fails only if it reached the killed station before it was
    // gone: the one each client had under way, and the next one if it landed
    // in the dying station's listening queue (the kernel still completes
    // connections there until the process's files are closed, which comes
    // after its memory is released: long under a sanitizer). Once the station
    // is reaped, every request reaches the other one.
    constexpr int kClients = 4;
    std::atomic<bool> killed{false};
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> failuresOnceGone{0};
    std::atomic<int> servedAfterKill{0};
    std::mutex mutex;  // guards acknowledged
    std::map<std::pair<int, int>, int> acknowledged;
    const auto client = [&] {
        Preferences preferences;
        VornClientEngine mine(&preferences);
        std::int32_t listener = 0;
        if (mine.Initialise("127.0.0.1", protocol) != kEngineOk || mine.RegisterUser(listener, {}) != kEngineOk) {
            ++failures;
            return;
        }
        for (int step = 0; step < 100000 && !stop; ++step) {
            const bool gone = killed;
            std::atomic<int>& failed = gone ? failuresOnceGone : failures;
            VornClientEngine::RecommendationList offered;
            if (mine.GetRecommendations(listener, 1, 1, offered) != kEngineOk) {
                ++failed;
                continue;
            }
            servedAfterKill += killed ? 1 : 0;
            if (offered.empty() || step % 2 != 0) {
                continue;
            }
            const std::int32_t item = offered[0]->ItemId();
            if (mine.SubmitRatings(listener, {{item, ValueOf(listener, item)}}) != kEngineOk) {
                ++failed;
                continue;
            }
            std::lock_guard lock(mutex);
            acknowledged[{listener, item}] = ValueOf(listener, item);
        }
    };
    std::vector<std::thread> clients;
    for (int n = 0; n < kClients; ++n) {
        clients.emplace_back(client);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int failuresBefore = failures;
    stations[0]->Kill();
    killed = true;
    // Two failed checks a second apart, each given a second, mark it down;
    // one more second for a busy machine.
    const bool down = vorn::test::WaitFor(
        [&] {
            return ServerStatus(stats, "protocol_stations", "station1").rfind("DOWN", 0) == 0 &&
                   ServerStatus(stats, "media_stations", "station1").rfind("DOWN", 0) == 0;
        },
        4000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (std::thread& thread : clients) {
        thread.join();
    }
    EXPECT_TRUE(down) << ServerStatus(stats, "protocol_stations", "station1");
    EXPECT_EQ(failuresBefore, 0);
    EXPECT_LE(failures.load(), 2 * kClients) << "more failed requests than reached the station while it died";
    EXPECT_EQ(failuresOnceGone.load(), 0);
    EXPECT_GT(servedAfterKill.load(), 0);
    EXPECT_TRUE(mediaServed());
    EXPECT_EQ(ServerStatus(stats, "protocol_stations", "station2"), "UP");

    ASSERT_FALSE(acknowledged.empty());
    std::string error;
    std::unique_ptr<PostgresStore> store = PostgresStore::Open(cluster.Url(), error);
    ASSERT_TRUE(store) << error;
    std::map<std::pair<int, int>, int> stored;
    for (const RatingRecord& rating : store->LoadRatings()) {
        stored[{rating.listener, rating.item}] = rating.value;
    }
    for (const auto& [pair, value] : acknowledged) {
        const auto found = stored.find(pair);
        EXPECT_TRUE(found != stored.end() && found->second == value)
            << "acknowledged rating of item " << pair.second << " by user " << pair.first << " is missing";
    }
}

}  // namespace
}  // namespace vorn::station::test
