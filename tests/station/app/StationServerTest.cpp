#include "station/app/StationServer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/station/support/ConnectionFlood.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/RawClient.h"
#include "tests/support/LoopbackServer.h"
#include "tests/station/support/StationTestSupport.h"

namespace vorn::station::test {
namespace {

// The body after the head of an HTTP answer.
std::string BodyOf(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string HeadOf(const std::string& answer) { return answer.substr(0, answer.find("\r\n\r\n") + 4); }

// A station serving two catalogued files, with a protocol responder that
// echoes the request target (and refuses "/bad").
class StationServerTest : public ::testing::Test {
protected:
    void StartStation(bool redirect, ServerSettings settings = {}, bool big = false) {
        std::filesystem::create_directories(dir_ / "music");
        if (big) {
            ASSERT_TRUE(WriteSilentMp3(dir_ / "music/big.mp3", 1200, 13));  // about 19 MB
        }
        ASSERT_TRUE(WriteSilentMp3(dir_ / "music/a.mp3", 70, 11));  // about 1.1 MB
        ASSERT_TRUE(WriteSilentMp3(dir_ / "music/b.mp3", 1, 12));
        ASSERT_TRUE(TagMp3(dir_ / "music/a.mp3", "Ada & Co", "Long <One>", "Album", "Genre"));
        parts_ = std::make_unique<StationParts>(dir_.Path());
        ASSERT_EQ(parts_->catalogue->Rescan(), big ? 3 : 2);
        settings.protocolPort = 0;
        settings.mediaPort = 0;
        settings.mirrorPort = 0;
        server_ = std::make_unique<StationServer>(settings);
        std::string error;
        ASSERT_TRUE(server_->Bind(error)) << error;
        site_ = std::make_unique<MediaSite>(parts_->store, *parts_->catalogue,
                                            MediaLinks{"127.0.0.1", server_->MediaPort()}, redirect);
        server_->Start(
            [this](const std::string& target, std::string& response, std::string& error) {
                std::lock_guard lock(targetsMutex_);
                targets_.push_back(target);
                if (target == "/bad") {
                    error = "no such token";
                    return ProtocolOutcome::Unusable;
                }
                if (target == "/undone") {
                    return ProtocolOutcome::Reset;
                }
                response = "<reply>" + target + "</reply>\r\n\r\n";
                return ProtocolOutcome::Answer;
            },
            *site_);
    }

    std::string FileBytes(const std::string& name) { return vorn::test::ReadFile(dir_ / ("music/" + name)); }
    std::int32_t IdOf(const std::string& name) {
        for (const CatalogueEntry& entry : parts_->catalogue->Current()->Entries()) {
            if (entry.record.path == dir_ / ("music/" + name)) {
                return entry.record.id;
            }
        }
        return 0;
    }

    CapturedLog log_;
    vorn::test::TempDir dir_;
    std::unique_ptr<StationParts> parts_;
    std::unique_ptr<MediaSite> site_;
    std::unique_ptr<StationServer> server_;  // after the site: stops before the site it serves goes
    std::mutex targetsMutex_;  // guards targets_
    std::vector<std::string> targets_;
};

TEST_F(StationServerTest, MediaIsServedExactlyOverBothHttpVersions) {
    StartStation(false);
    const std::string a = FileBytes("a.mp3");
    ASSERT_GT(a.size(), 1000000u);
    const int port = server_->MediaPort();
    const std::string path = "/media/" + std::to_string(IdOf("a.mp3")) + ".mp3";
    // The two request forms the client sends.
    const std::string http10 = Exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(HeadOf(http10), "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: " +
                                  std::to_string(a.size()) + "\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(BodyOf(http10) == a);
    const std::string http11 = Exchange(
        port, "GET " + path + " HTTP/1.1\nHost:127.0.0.1:" + std::to_string(port) + "\nConnection: close\r\n\r\n");
    EXPECT_EQ(http11.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(http11.find("Content-Length: " + std::to_string(a.size()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(BodyOf(http11) == a);
    // HEAD gives the head alone.
    EXPECT_EQ(Exchange(port, "HEAD " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"), HeadOf(http11));

    EXPECT_EQ(Exchange(port, "GET /media/999.mp3 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(Exchange(port, "GET /media/../../etc/passwd HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(Exchange(port, "POST /media/1.mp3 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 405", 0), 0u);
    const std::string help = Exchange(port, "GET /help.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(help.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(help.find("<h1>Using Vorn</h1>"), std::string::npos);
    EXPECT_NE(Exchange(port, "GET / HTTP/1.0\r\n\r\n").find("<h1>Vorn Custom Radio</h1>"), std::string::npos);
    const std::string page =
        Exchange(port, "GET /item/" + std::to_string(IdOf("a.mp3")) + ".html HTTP/1.0\r\n\r\n");
    EXPECT_NE(page.find("<h1>Long &lt;One&gt;</h1>"), std::string::npos);
    EXPECT_NE(page.find("Ada &amp; Co"), std::string::npos);
}

TEST_F(StationServerTest, RedirectModeAnswersOnce302ToTheSecondPath) {
    StartStation(true);
    const int port = server_->MediaPort();
    const std::string id = std::to_string(IdOf("b.mp3"));
    const std::string first = Exchange(port, "GET /media/" + id + ".mp3 HTTP/1.1\nHost:127.0.0.1\nConnection: close\r\n\r\n");
    const std::string location = "http://127.0.0.1:" + std::to_string(port) + "/files/" + id + ".mp3";
    EXPECT_EQ(first.rfind("HTTP/1.1 302 Found\r\nLocation: " + location + "\r\n", 0), 0u) << first;
    const std::string second = Exchange(port, "GET /files/" + id + ".mp3 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(second.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(BodyOf(second) == FileBytes("b.mp3"));
    // Unknown items are not redirected.
    EXPECT_EQ(Exchange(port, "GET /media/77.mp3 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);
}

TEST_F(StationServerTest, EveryPortRoutesAbsoluteUrlsByTheirPort) {
    StartStation(false);
    const std::string protocol = std::to_string(server_->ProtocolPort());
    const std::string media = std::to_string(server_->MediaPort());
    const std::string mirror = std::to_string(server_->MirrorPort());
    const std::string id = std::to_string(IdOf("b.mp3"));
    const std::string b = FileBytes("b.mp3");
    for (int port : {server_->ProtocolPort(), server_->MediaPort(), server_->MirrorPort()}) {
        // The protocol port answers with the reply alone, no status line.
        EXPECT_EQ(Exchange(port, "GET http://127.0.0.1:" + protocol + "/TOKEN\r\nMORE HTTP/1.0\r\n\r\n"),
                  "<reply>/TOKEN\r\nMORE</reply>\r\n\r\n");
        EXPECT_TRUE(BodyOf(Exchange(port, "GET http://127.0.0.1:" + media + "/media/" + id + ".mp3 HTTP/1.1\nHost:"
                                              "127.0.0.1:" + media + "\nConnection: close\r\n\r\n")) == b);
        // The mirror, the way the client names it: origin host and port + suffix.
        const std::string cdnHost = "127.0.0.1:" + media + kCdnHostSuffix;
        const std::string viaMirror = Exchange(port, "GET http://" + cdnHost + ":" + mirror + "/media/" + id +
                                                         ".mp3 HTTP/1.1\nHost:" + cdnHost + ":" + mirror +
                                                         "\nConnection: close\r\n\r\n");
        EXPECT_EQ(viaMirror.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        EXPECT_TRUE(BodyOf(viaMirror) == b);
        EXPECT_EQ(Exchange(port, "GET http://elsewhere.example:80" + std::string(kCdnHostSuffix) + ":" + mirror +
                                     "/media/" + id + ".mp3 HTTP/1.0\r\n\r\n")
                      .rfind("HTTP/1.0 404", 0),
                  0u);
        EXPECT_EQ(Exchange(port, "GET http://127.0.0.1:9/x HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 502 Bad Gateway", 0), 0u);
    }
    // Asked directly, the mirror checks the Host header the same way.
    EXPECT_TRUE(BodyOf(Exchange(server_->MirrorPort(), "GET /media/" + id + ".mp3 HTTP/1.1\nHost:127.0.0.1:" + media +
                                                            kCdnHostSuffix + ":" + mirror + "\r\n\r\n")) == b);
    EXPECT_EQ(Exchange(server_->MirrorPort(), "GET /media/" + id + ".mp3 HTTP/1.1\nHost:other:" + media +
                                                  kCdnHostSuffix + "\r\n\r\n")
                  .rfind("HTTP/1.1 404", 0),
              0u);
    EXPECT_TRUE(log_.Contains("which is not a port of this station"));
}

TEST_F(StationServerTest, TheProtocolPortPassesTargetsVerbatimClosesOnRefusalAndResetsWhatWasNotDone) {
    StartStation(false);
    const int port = server_->ProtocolPort();
    EXPECT_EQ(Exchange(port, "GET / HTTP/1.0\r\n\r\n"), "<reply>/</reply>\r\n\r\n");
    const std::string token = "/AAAA\r\nBBBB\r\nCC==";
    EXPECT_EQ(Exchange(port, "GET " + token + " HTTP/1.0\r\n\r\n"), "<reply>" + token + "</reply>\r\n\r\n");
    EXPECT_EQ(Exchange(port, "GET /bad HTTP/1.0\r\n\r\n"), "");
    EXPECT_TRUE(log_.Contains("sent an unusable request (no such token); connection closed"));
    RawClient refused(port);
    ASSERT_TRUE(refused.Send("GET /bad HTTP/1.0\r\n\r\n"));
    EXPECT_FALSE(refused.ResetWithin(5000));  // a clean close
    // A request the responder could not carry out ends in a reset, which a
    // client cannot mistake for the end of an answer.
    RawClient undone(port);
    ASSERT_TRUE(undone.Send("GET /undone HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(undone.ResetWithin(5000));
    std::lock_guard lock(targetsMutex_);
    EXPECT_EQ(targets_, (std::vector<std::string>{"/", token, "/bad", "/bad", "/undone"}));
}

// A head that came with its connection is read at once; one that came in
// part waits for the rest, within the head's time, however its first part
// was read.
TEST_F(StationServerTest, HeadsAreAnsweredWholeOrInPartsAndAnUnfinishedOneTimesOut) {
    ServerSettings settings;
    settings.headTimeout = std::chrono::milliseconds(1000);
    StartStation(false, settings);
    const int port = server_->ProtocolPort();
    RawClient split(port);
    RawClient unfinished(port);
    ASSERT_TRUE(split.Send("GET /AAAA HT"));
    ASSERT_TRUE(unfinished.Send("GET /BBBB HTTP/1.0\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(split.Send("TP/1.0\r\n\r\n"));
    EXPECT_EQ(split.ReadAll(3000), "<reply>/AAAA</reply>\r\n\r\n");
    EXPECT_TRUE(unfinished.ClosedWithin(3000));
    EXPECT_TRUE(log_.Contains("sent no complete request in time; connection closed"));
    // Answers go out whole and the connection ends cleanly, many at once.
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&, i] {
            for (int k = 0; k < 10; ++k) {
                const std::string target = "/C" + std::to_string(i) + "x" + std::to_string(k);
                if (Exchange(port, "GET " + target + " HTTP/1.0\r\n\r\n", 3000) ==
                    "<reply>" + target + "</reply>\r\n\r\n") {
                    ++answered;
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(answered.load(), 80);
    EXPECT_TRUE(vorn::test::WaitFor([&] { return server_->OpenConnections(StationServer::Port::Protocol) == 0; }));
}

TEST_F(StationServerTest, HostileClientsAreCutOffWithoutHoldingUpOthers) {
    ServerSettings settings;
    settings.headTimeout = std::chrono::milliseconds(1000);
    settings.headLimit = 4096;
    settings.maxConnections = 40;
    StartStation(false, settings);
    const int protocol = server_->ProtocolPort();
    const int media = server_->MediaPort();

    // Silent clients and a trickling one occupy connections...
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(std::make_unique<RawClient>(i % 2 == 0 ? protocol : media));
    }
    RawClient trickle(protocol);
    // ...while others are served at once.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Exchange(protocol, "GET / HTTP/1.0\r\n\r\n", 2000), "<reply>/</reply>\r\n\r\n");
        EXPECT_EQ(Exchange(media, "GET /help.html HTTP/1.0\r\n\r\n", 2000).rfind("HTTP/1.0 200 OK", 0), 0u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    for (int i = 0; i < 4; ++i) {
        trickle.Send("G");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (auto& client : silent) {
        EXPECT_TRUE(client->ClosedWithin(3000));
    }
    EXPECT_TRUE(trickle.ClosedWithin(3000));
    EXPECT_TRUE(log_.Contains("sent no complete request in time; connection closed"));

    // Garbage, and heads beyond the limit, close the connection with a log line.
    EXPECT_EQ(Exchange(protocol, std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + "\r\n\r\n"), "");
    EXPECT_TRUE(log_.Contains("on the protocol port sent no request"));
    EXPECT_EQ(Exchange(media, "BLAH\r\n\r\n").rfind("HTTP/1.0 400 Bad Request", 0), 0u);
    RawClient huge(protocol);
    huge.Send("GET /" + std::string(5000, 'A'));
    EXPECT_TRUE(huge.ClosedWithin(2000));
    EXPECT_TRUE(log_.Contains("sent a request head longer than 4096 bytes"));
    EXPECT_EQ(Exchange(protocol, "PUT / HTTP/1.0\r\n\r\n"), "");

    // Beyond a port's limit, new connections are closed at once; the other
    // ports have limits of their own and go on serving.
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (int i = 0; i < 45; ++i) {
        crowd.push_back(std::make_unique<RawClient>(media));
    }
    EXPECT_TRUE(crowd.back()->ClosedWithin(1000));
    EXPECT_TRUE(log_.Contains("the media host holds 40 connections, the most it takes; 127.0.0.1 was refused"));
    EXPECT_EQ(Exchange(protocol, "GET / HTTP/1.0\r\n\r\n", 2000), "<reply>/</reply>\r\n\r\n");
    crowd.clear();
    EXPECT_TRUE(vorn::test::WaitFor([&] {
        return Exchange(media, "GET /help.html HTTP/1.0\r\n\r\n", 500).rfind("HTTP/1.0 200 OK", 0) == 0;
    }));
}

// Each address holds at most its share of a port, and however many addresses
// fill the protocol port, its last eighth stays open to addresses that hold
// few there.
TEST_F(StationServerTest, TheProtocolPortKeepsRoomForOtherAddresses) {
    ServerSettings settings;
    settings.maxConnections = 32;
    settings.maxConnectionsPerAddress = 16;
    StartStation(false, settings);
    const int protocol = server_->ProtocolPort();
    ConnectionFlood first("127.0.0.2", {{protocol, 20, false}});
    ASSERT_TRUE(first.WaitUntilOpened(5000));
    ASSERT_TRUE(vorn::test::WaitFor([&] {
        return log_.Contains("127.0.0.2 holds 16 connections on the protocol port, the most one address may");
    }));
    ConnectionFlood second("127.0.0.3", {{protocol, 20, true}});
    ASSERT_TRUE(second.WaitUntilOpened(5000));
    ASSERT_TRUE(vorn::test::WaitFor([&] {
        return log_.Contains("the protocol port keeps its last 4 connections for addresses that hold fewer than 4 "
                             "there; 127.0.0.3 holds 12 and was refused");
    }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Exchange(protocol, "GET / HTTP/1.0\r\n\r\n", 2000), "<reply>/</reply>\r\n\r\n");
    }
}

// Takes every descriptor this process may open but one, under a lowered
// limit, and gives them back when released or gone.
class DescriptorsUsedUp {
public:
    DescriptorsUsedUp() {
        ::getrlimit(RLIMIT_NOFILE, &original_);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit low = original_;
        low.rlim_cur = static_cast<rlim_t>(lowestFree + 64);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
            taken_.push_back(fd);
        }
        if (!taken_.empty()) {
            ::close(taken_.back());
            taken_.pop_back();
        }
    }
    ~DescriptorsUsedUp() { Release(); }
    bool Taken() const { return !taken_.empty(); }
    void Release() {
        for (int fd : taken_) {
            ::close(fd);
        }
        taken_.clear();
        ::setrlimit(RLIMIT_NOFILE, &original_);
    }

private:
    rlimit original_{};
    std::vector<int> taken_;
};

// Out of descriptors, a port waits a moment before it tries again, says so at
// most once a second, and serves the waiting client once descriptors are free.
TEST_F(StationServerTest, AcceptingWithoutDescriptorsRecovers) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks open files as they go; with every descriptor
    // taken they report false faults. The plain and thread-checked runs cover it.
    GTEST_SKIP() << "not under AddressSanitizer: its checks need descriptors of their own";
#endif
    StartStation(false);
    // A line a second, the second counting the tries since the first. Made
    // before the descriptors run out: the locale it reads may need one.
    const std::regex second("accepting on the protocol port failed : Too many open files; trying again in 100 ms "
                            "\\((\\d+) more failures since the last such line\\)");
    DescriptorsUsedUp usedUp;
    ASSERT_TRUE(usedUp.Taken());
    RawClient waiting(server_->ProtocolPort());  // the one left: none for the server
    ASSERT_TRUE(waiting.Connected());
    ASSERT_TRUE(waiting.Send("GET /late HTTP/1.0\r\n\r\n"));
    std::string text;
    std::smatch found;
    ASSERT_TRUE(vorn::test::WaitFor([&] { return std::regex_search(text = log_.Text(), found, second); }, 3000))
        << text;
    EXPECT_LE(std::stoi(found[1].str()), 30);  // a try every 100 ms, not a spin
    usedUp.Release();
    EXPECT_EQ(waiting.ReadAll(2000), "<reply>/late</reply>\r\n\r\n");
}

TEST_F(StationServerTest, AClientThatStopsReadingIsCutOffAndAGoneFileIs404) {
    ServerSettings settings;
    // Ten times the slow reader's pause, so that a loaded machine's scheduling
    // does not pass for a stalled client.
    settings.idleTimeout = std::chrono::milliseconds(1000);
    StartStation(false, settings, true);
    const int media = server_->MediaPort();
    RawClient stalled(media, 4096);
    stalled.Send("GET /media/" + std::to_string(IdOf("big.mp3")) + ".mp3 HTTP/1.0\r\n\r\n");  // and never reads
    EXPECT_TRUE(vorn::test::WaitFor([&] { return log_.Contains("stopped taking data; connection closed"); }, 5000));
    // One that takes the file slower than the server sends it, pausing
    // shorter than the time-out, gets all of it however long that takes.
    RawClient slow(media, 4096);
    slow.Send("GET /media/" + std::to_string(IdOf("big.mp3")) + ".mp3 HTTP/1.0\r\n\r\n");
    const std::string body = BodyOf(slow.ReadAllPausing(2 << 20, 100, 30000));
    EXPECT_TRUE(body == FileBytes("big.mp3")) << body.size() << " bytes";
    const std::string path = "/media/" + std::to_string(IdOf("a.mp3")) + ".mp3";
    EXPECT_EQ(BodyOf(Exchange(media, "GET " + path + " HTTP/1.0\r\n\r\n")).size(), FileBytes("a.mp3").size());

    const std::int32_t gone = IdOf("b.mp3");
    std::filesystem::remove(dir_ / "music/b.mp3");
    EXPECT_EQ(Exchange(media, "GET /media/" + std::to_string(gone) + ".mp3 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0),
              0u);
    EXPECT_EQ(parts_->catalogue->Current()->FindLive(gone), nullptr);
}

}  // namespace
}  // namespace vorn::station::test
