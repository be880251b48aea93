// The operator's tools against the real vorn-station program: the real
// Prometheus scraping its admin port with the repository's configuration, and
// its health check following the database.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
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
    auto station = Start("a", admin, {"--port", "0", "--media-port", "0", "--cdn-port", "0"}, port);
    ASSERT_NE(port, 0);

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

    const std::map<std::string, std::string> expected{
        {R"(vorn_station_requests_total{kind="key_exchange",result="ok"})", "1"},
        {R"(vorn_station_requests_total{kind="registration",result="ok"})", "1"},
        {R"(vorn_station_requests_total{kind="recommendations",result="ok"})", "3"},
        {R"(vorn_station_requests_total{kind="ratings",result="ok"})", "2"},
        {R"(vorn_station_request_duration_seconds_bucket{kind="recommendations",le="+Inf"})", "3"},
        {R"(vorn_station_request_duration_seconds_count{kind="ratings"})", "2"},
        {R"(vorn_station_ratings_stored_total)", "3"},
        {R"(vorn_station_ratings_refused_total{reason="invalid"})", "1"},
        {R"(vorn_station_catalogue_items)", "12"},
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
