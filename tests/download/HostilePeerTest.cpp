// Hostile media hosts and stations, with the client's memory and time measured:
// each case must end with its defined code within its (shortened) time limits,
// and the peak resident memory of this process may grow by at most 16 MiB over
// what it used before the case.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "download/HttpFileRetriever.h"
#include "foundation/Preferences.h"
#include "server/VornClientEngine.h"
#include "tests/server/TokenVectors.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using test::LoopbackServer;
using Connection = LoopbackServer::Connection;

constexpr long kAllowedGrowthKiB = 16 * 1024;

long StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    }
    return -1;
}

struct Measured {
    long growthKiB;
    std::chrono::milliseconds took;
};

// Runs a case and measures how far the peak resident memory rose above the memory
// resident before it ("5" in clear_refs resets the peak to the current figure).
Measured Measure(const std::function<void()>& run) {
    const long idle = StatusKiB("VmRSS:");
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const long peakBefore = StatusKiB("VmHWM:");
    // Without the reset the old peak stays; the growth is then measured above it.
    const long base = peakBefore <= idle + 1024 ? idle : peakBefore;
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return {StatusKiB("VmHWM:") - base, took};
}

// Writes from one small buffer until the client goes or the limit is reached.
void Flood(Connection& c, char fill, std::size_t limit) {
    const std::string chunk(64 * 1024, fill);
    for (std::size_t sent = 0; sent < limit && c.Write(chunk); sent += chunk.size()) {
    }
}

// One byte a second for as long as the client stays (at most 30 s).
void Trickle(Connection& c, const std::atomic<bool>& stop) {
    for (int i = 0; i < 300 && !stop; ++i) {
        if (i % 10 == 0 && !c.Write("x")) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

class Recorder : public FileRetrieverListener {
public:
    void OnFileRetrieved(std::int32_t, float) override { code = 0; }
    void OnRetrievalError(std::int32_t c) override { code = c; }
    void OnRetrievalStatus(float, float) override {}
    std::atomic<int> code{-1};
};

class HostilePeerTest : public ::testing::Test {
protected:
    // A download from a hostile host, with the time limits shortened.
    int Download(std::uint16_t port) {
        Recorder recorder;
        HttpComms::Timeouts limits;
        limits.receiveMs = 5000;
        limits.headMs = 1500;
        limits.bodyWindowMs = 1500;
        HttpFileRetriever retriever(&recorder, home_ / "song.mp3",
                                    UrlParts("http://127.0.0.1:" + std::to_string(port) + "/x.mp3"), &direct_);
        retriever.SetTimeouts(limits);
        retriever.Start();
        EXPECT_TRUE(test::WaitFor([&] { return retriever.IsFinished(); }, 20000));
        return recorder.code;
    }
    void ExpectNothingWritten() {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(home_.Path(), error)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name.find(".mp3") == std::string::npos && name.find(".part") == std::string::npos) << name;
        }
    }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    Preferences direct_;
    std::atomic<bool> stop_{false};
};

TEST_F(HostilePeerTest, AnEndlessHeadIsCutOffAt64KiB) {
    LoopbackServer host([](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("HTTP/1.0 200 OK\r\n");
        Flood(c, 'h', std::size_t{1} << 30);
    }, true);
    int code = -1;
    const Measured m = Measure([&] { code = Download(host.Port()); });
    EXPECT_EQ(code, kReceiveFailed);
    EXPECT_TRUE(log_.Contains("HttpComms : Response head longer than 65536 bytes, giving up"));
    EXPECT_LT(m.took, std::chrono::seconds(5));
    EXPECT_LE(m.growthKiB, kAllowedGrowthKiB);
    RecordProperty("peak_growth_kib", static_cast<int>(m.growthKiB));
    ExpectNothingWritten();
}

TEST_F(HostilePeerTest, AContentLengthOf2To63IsRefusedBeforeWriting) {
    LoopbackServer host([](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("HTTP/1.0 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\n");
        Flood(c, 'b', std::size_t{64} << 20);
    }, true);
    int code = -1;
    const Measured m = Measure([&] { code = Download(host.Port()); });
    EXPECT_EQ(code, kUnusableResponse);
    EXPECT_LT(m.took, std::chrono::seconds(5));
    EXPECT_LE(m.growthKiB, kAllowedGrowthKiB);
    RecordProperty("peak_growth_kib", static_cast<int>(m.growthKiB));
    ExpectNothingWritten();
}

TEST_F(HostilePeerTest, AHeadOrBodyTrickledAtOneBytePerSecondEndsAtItsBound) {
    LoopbackServer headHost([&](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        Trickle(c, stop_);
    }, true);
    LoopbackServer bodyHost([&](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n");
        Trickle(c, stop_);
    }, true);
    for (std::uint16_t port : {headHost.Port(), bodyHost.Port()}) {
        int code = -1;
        const Measured m = Measure([&] { code = Download(port); });
        EXPECT_EQ(code, kReceiveFailed);
        // Two direct attempts, each ended by its 1.5 s bound.
        EXPECT_GE(m.took, std::chrono::milliseconds(2900));
        EXPECT_LT(m.took, std::chrono::seconds(6));
        EXPECT_LE(m.growthKiB, kAllowedGrowthKiB);
        RecordProperty(port == headHost.Port() ? "head_peak_growth_kib" : "body_peak_growth_kib",
                       static_cast<int>(m.growthKiB));
    }
    EXPECT_TRUE(log_.Contains("HttpComms : Response head not complete after 1500 ms, giving up"));
    EXPECT_TRUE(log_.Contains("HttpComms : Body moved fewer than 1024 bytes in 1500 ms, giving up"));
    stop_ = true;
    ExpectNothingWritten();
}

// A station that answers a request with 100 MB where its reply token should be.
TEST_F(HostilePeerTest, AHundredMegabyteReplyTokenIsRefused) {
    LoopbackServer station([](Connection& c) {
        if (c.ReadUntil("\r\n\r\n") == "GET / HTTP/1.0\r\n\r\n") {
            c.Write("<type>PublicKeyResponse</type><pubkey>" + test::vectors::kPublicKeyBase64 +
                    "</pubkey><builds></builds>\r\n\r\n");
            return;
        }
        Flood(c, 'A', std::size_t{100} << 20);
    }, true);
    VornClientEngine engine(&direct_);
    ASSERT_EQ(engine.Initialise("127.0.0.1", station.Port()), kEngineOk);
    int code = -1;
    VornClientEngine::RecommendationList list;
    const Measured m = Measure([&] { code = engine.GetRecommendations(1, 1, 4, list); });
    EXPECT_EQ(code, kEngineCommsFailed);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(log_.Contains("VornClientEngine : Reply longer than 1048576 bytes refused"));
    EXPECT_LT(m.took, std::chrono::seconds(5));
    EXPECT_LE(m.growthKiB, kAllowedGrowthKiB);
    RecordProperty("peak_growth_kib", static_cast<int>(m.growthKiB));
}

}  // namespace
}  // namespace vorn
