#include "server/HttpComms.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "foundation/Preferences.h"
#include "server/ResponseHead.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using test::IsolatedHome;
using test::LoopbackServer;
using test::ScopedLog;
using Connection = LoopbackServer::Connection;

class HttpCommsTest : public ::testing::Test {
protected:
    // Preferences without a proxy, from the isolated store.
    std::unique_ptr<Preferences> Direct() { return std::make_unique<Preferences>(); }
    // Preferences whose proxy is the given loopback port.
    std::unique_ptr<Preferences> Proxy(std::uint16_t port) {
        test::WriteFile(home_.StorePath(),
                        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n"
                        "\"pref_useproxy\"=\"1\"\n\"pref_proxyserver\"=\"127.0.0.1\"\n"
                        "\"pref_proxyport\"=\"" + std::to_string(port) + "\"\n");
        return std::make_unique<Preferences>();
    }

    IsolatedHome home_;
    ScopedLog log_;
};

// A peer that records the request up to the blank line and answers with `reply`.
struct RecordingPeer {
    explicit RecordingPeer(std::string reply = "")
        : server([this, reply](Connection& c) {
              std::string request = c.ReadUntil("\r\n\r\n");
              {
                  std::lock_guard lock(mutex);
                  requests.push_back(request);
              }
              if (!reply.empty()) c.Write(reply);
          }) {}
    std::vector<std::string> Requests() {
        std::lock_guard lock(mutex);
        return requests;
    }
    std::mutex mutex;  // guards requests
    std::vector<std::string> requests;
    LoopbackServer server;
};

TEST_F(HttpCommsTest, RequestBytesWithoutProxyForBothVersions) {
    RecordingPeer peer;
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", peer.server.Port(), preferences.get());
    ASSERT_EQ(comms.Get("", false), kHttpOk);
    comms.Disconnect();
    ASSERT_EQ(comms.Get("x", true), kHttpOk);
    comms.Disconnect();
    ASSERT_EQ(comms.Get("/a/b.mp3", false), kHttpOk);
    comms.Disconnect();
    ASSERT_TRUE(test::WaitFor([&] { return peer.Requests().size() == 3; }));
    const auto requests = peer.Requests();
    EXPECT_EQ(requests[0], "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(requests[1], "GET /x HTTP/1.1\nHost:127.0.0.1:" + std::to_string(peer.server.Port()) +
                               "\nConnection: close\r\n\r\n");
    EXPECT_EQ(requests[2], "GET /a/b.mp3 HTTP/1.0\r\n\r\n");
}

TEST_F(HttpCommsTest, ThroughTheProxyTheRequestNamesTheOriginHost) {
    RecordingPeer proxy;
    auto preferences = Proxy(proxy.server.Port());
    // The origin host need not resolve: only the proxy is looked up.
    HttpComms comms("h.invalid", 8080, preferences.get());
    ASSERT_EQ(comms.Get("/x", true), kHttpOk);
    comms.Disconnect();
    ASSERT_EQ(comms.Get("tok\r\nen", false), kHttpOk);
    comms.Disconnect();
    ASSERT_TRUE(test::WaitFor([&] { return proxy.Requests().size() == 2; }));
    EXPECT_EQ(proxy.Requests()[0], "GET http://h.invalid:8080/x HTTP/1.1\nHost:h.invalid:8080\nConnection: close\r\n\r\n");
    EXPECT_EQ(proxy.Requests()[1], "GET http://h.invalid:8080/tok\r\nen HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(log_.Contains("FINE : Getting Hostname : 127.0.0.1"));
}

TEST_F(HttpCommsTest, HeadEndsInOneLineBreakAndTheBodyStaysUnread) {
    RecordingPeer peer("HTTP/1.0 200 OK\r\nX: y\r\n\r\nBODY");
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", peer.server.Port(), preferences.get());
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    std::string head;
    ASSERT_EQ(comms.ReceiveHead(head), kHttpOk);
    EXPECT_EQ(head, "HTTP/1.0 200 OK\r\nX: y\r\n");
    std::ostringstream body;
    ASSERT_EQ(comms.ReceiveBytes(4, body), kHttpOk);
    EXPECT_EQ(body.str(), "BODY");
}

TEST_F(HttpCommsTest, BodiesArriveExactlyInBlocks) {
    std::string payload;
    for (int i = 0; i < 2500; ++i) payload.push_back(static_cast<char>(i * 7));
    LoopbackServer server([&](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("X\r\n\r\n");
        // Dribble the body so that receives return short counts.
        for (std::size_t at = 0; at < payload.size(); at += 300) {
            c.Write(payload.substr(at, 300));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", server.Port(), preferences.get());
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    std::string head;
    ASSERT_EQ(comms.ReceiveHead(head), kHttpOk);
    std::ostringstream body;
    ASSERT_EQ(comms.ReceiveBytes(1024, body), kHttpOk);
    ASSERT_EQ(comms.ReceiveBytes(1024, body), kHttpOk);
    ASSERT_EQ(comms.ReceiveBytes(452, body), kHttpOk);
    EXPECT_EQ(body.str(), payload);
    EXPECT_EQ(comms.ReceiveBytes(0, body), kHttpOk);
}

TEST_F(HttpCommsTest, APeerClosingEarlyFailsTheReceiveWithoutHanging) {
    LoopbackServer server([](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("HTTP/1.0 200 OK\r\n");  // no blank line, then close
    });
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", server.Port(), preferences.get());
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    std::string head;
    EXPECT_EQ(comms.ReceiveHead(head), kHttpReceiveFailed);
    EXPECT_TRUE(log_.Contains("HttpComms Error : Code = 0 Function = receive()"));

    LoopbackServer shortBody([](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("X\r\n\r\n" + std::string(1500, 'b'));
    });
    comms.SetServer("127.0.0.1", shortBody.Port());
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    head.clear();
    ASSERT_EQ(comms.ReceiveHead(head), kHttpOk);
    std::ostringstream body;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(comms.ReceiveBytes(1024, body), kHttpOk);
    // 476 bytes arrive, then the peer is gone while a full block is still wanted.
    EXPECT_EQ(comms.ReceiveBytes(2048, body), kHttpReceiveFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(log_.Contains("ReceiveBytes() Error : data transfer not complete."));
}

TEST_F(HttpCommsTest, AStalledPeerEndsAtTheTimeOut) {
    std::promise<void> release;
    auto released = release.get_future().share();
    LoopbackServer server([released](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("X\r\n\r\nabc");
        released.wait_for(std::chrono::seconds(10));
    });
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", server.Port(), preferences.get());
    comms.SetTimeouts(1000, 300);
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    std::string head;
    ASSERT_EQ(comms.ReceiveHead(head), kHttpOk);
    std::ostringstream body;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(comms.ReceiveBytes(100, body), kHttpReceiveFailed);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(3));
    release.set_value();
}

TEST_F(HttpCommsTest, AnEndlessHeadIsCutOff) {
    LoopbackServer server([](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        const std::string chunk(4096, 'h');
        for (int i = 0; i < 64 && c.Write(chunk); ++i) {
        }
    });
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", server.Port(), preferences.get());
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    std::string head;
    EXPECT_EQ(comms.ReceiveHead(head), kHttpReceiveFailed);
    EXPECT_LE(head.size(), HttpComms::kMaxHeadBytes + 1);
    EXPECT_TRUE(log_.Contains("Response head longer than"));
}

TEST_F(HttpCommsTest, AbortFromAnotherThreadEndsABlockedReceive) {
    std::promise<void> release;
    auto released = release.get_future().share();
    LoopbackServer server([released](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        released.wait_for(std::chrono::seconds(10));
    });
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", server.Port(), preferences.get());
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    auto receiving = std::async(std::launch::async, [&] {
        std::string head;
        return comms.ReceiveHead(head);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(receiving.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    comms.Abort();
    ASSERT_EQ(receiving.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(receiving.get(), kHttpReceiveFailed);
    comms.Disconnect();
    // An aborted connection stays closed: a late request is refused at once.
    EXPECT_EQ(comms.Get("/", false), kHttpNotConnected);
    release.set_value();
}

TEST_F(HttpCommsTest, SetServerClosesTheOldConnectionAndTheNextSendGoesToTheNewHost) {
    std::promise<std::string> firstSaw;
    LoopbackServer first([&](Connection& c) {
        std::string got = c.ReadUntil("\r\n\r\n");
        got += "|" + c.ReadAll(3000);  // ends when the client closes
        firstSaw.set_value(got);
    });
    RecordingPeer second;
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", first.Port(), preferences.get());
    ASSERT_EQ(comms.Get("/one", false), kHttpOk);
    auto saw = firstSaw.get_future();
    comms.SetServer("127.0.0.1", second.server.Port());
    ASSERT_EQ(saw.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(saw.get(), "GET /one HTTP/1.0\r\n\r\n|");
    EXPECT_FALSE(comms.IsConnected());
    ASSERT_EQ(comms.Get("/two", false), kHttpOk);
    ASSERT_TRUE(test::WaitFor([&] { return second.Requests().size() == 1; }));
    EXPECT_EQ(second.Requests()[0], "GET /two HTTP/1.0\r\n\r\n");
}

TEST_F(HttpCommsTest, FailuresToConnectAreReportedAndLogged) {
    auto preferences = Direct();
    HttpComms unknown("no-such-host.invalid", 80, preferences.get());
    EXPECT_EQ(unknown.SendRaw("GET / HTTP/1.0"), kHttpNotConnected);
    EXPECT_TRUE(log_.Contains("Function = gethostbyname()"));
    EXPECT_TRUE(log_.Contains("HttpComms : Host Lookup Error : no-such-host.invalid"));
    EXPECT_TRUE(log_.Contains("Function = Connect()"));
    EXPECT_EQ(unknown.Connect(), kHttpLookupFailed);
    // Names that cannot resolve fail the same way, at once.
    for (const char* name : {"localhost:8000.cdn.invalid", "", "a b"}) {
        HttpComms never(name, 80, preferences.get());
        EXPECT_EQ(never.Connect(), kHttpLookupFailed) << name;
    }

    // A port nobody listens on: connect fails with 1, and the object stays usable.
    std::uint16_t closedPort = 0;
    {
        LoopbackServer temporary([](Connection&) {});
        closedPort = temporary.Port();
    }
    HttpComms refused("127.0.0.1", closedPort, preferences.get());
    EXPECT_EQ(refused.Connect(), kHttpSendFailed);
    EXPECT_TRUE(log_.Contains("HttpComms : Connect Error : 127.0.0.1"));
    RecordingPeer peer;
    refused.SetServer("127.0.0.1", peer.server.Port());
    EXPECT_EQ(refused.Get("/", false), kHttpOk);
}

TEST_F(HttpCommsTest, AProbeOnlyConnectsToTheProxyWhenOneIsSetAndLogsNothing) {
    LoopbackServer proxy([](Connection&) {});
    auto preferences = Proxy(proxy.Port());
    // The station's name need not resolve: through a proxy only the proxy is tried.
    HttpComms comms("station.invalid", 8080, preferences.get());
    EXPECT_EQ(comms.Probe(), kHttpOk);
    ASSERT_TRUE(test::WaitFor([&] { return proxy.Accepted() == 1; }));
    EXPECT_FALSE(comms.IsConnected());

    proxy.Stop();
    EXPECT_EQ(comms.Probe(), kHttpSendFailed);
    // An offline client probes every few seconds: not a line for each.
    EXPECT_FALSE(log_.Contains("HttpComms")) << log_.Text();
    EXPECT_FALSE(log_.Contains("Getting Hostname")) << log_.Text();
}

TEST_F(HttpCommsTest, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
    LoopbackServer server([](Connection& c) { c.Close(); });
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", server.Port(), preferences.get());
    ASSERT_EQ(comms.Connect(), kHttpOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int result = kHttpOk;
    const std::string big(1 << 20, 'x');
    for (int i = 0; i < 20 && result == kHttpOk; ++i) {
        result = comms.SendRaw(big);
    }
    EXPECT_EQ(result, kHttpSendFailed);
    EXPECT_TRUE(log_.Contains("Function = send()"));
}

TEST_F(HttpCommsTest, ABodyThatCannotBeStoredIsAFailure) {
    RecordingPeer peer("X\r\n\r\n" + std::string(2048, 'd'));
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", peer.server.Port(), preferences.get());
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    std::string head;
    ASSERT_EQ(comms.ReceiveHead(head), kHttpOk);
    std::ofstream full("/dev/full", std::ios::binary);
    full.rdbuf()->pubsetbuf(nullptr, 0);  // unbuffered, so the failure shows at once
    EXPECT_EQ(comms.ReceiveBytes(2048, full), kHttpReceiveFailed);
}

// The threads of this process, from /proc/self/status.
int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

// A resolver that hangs until released (or 10 s pass), as one with an
// unreachable name server does.
struct HangingResolver {
    HostLookup::Resolver Get() {
        return [this](const std::string&, in_addr&) {
            std::unique_lock lock(mutex);
            ++calls;
            released.wait_for(lock, std::chrono::seconds(10), [this] { return free; });
            return EAI_AGAIN;
        };
    }
    void Release() {
        std::lock_guard lock(mutex);
        free = true;
        released.notify_all();
    }
    std::mutex mutex;  // guards free and calls
    std::condition_variable released;
    bool free = false;
    int calls = 0;
};

TEST_F(HttpCommsTest, AHangingLookupEndsAtTheConnectTimeOutOrAtOnceOnAbort) {
    auto preferences = Direct();
    HangingResolver resolver;
    HttpComms timed("media.example", 80, preferences.get());
    timed.SetResolver(resolver.Get());
    timed.SetTimeouts(400, 1000);
    int threadsAfterFirst = 0;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(timed.Connect(), kHttpLookupFailed);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(350));
        EXPECT_LT(waited, std::chrono::milliseconds(1500));
        // Counted after the first look-up has its helper (and a sanitizer its own threads).
        if (i == 0) threadsAfterFirst = ThreadCount();
    }
    // Look-ups given up never pile up threads: the one still hanging is reused.
    EXPECT_LE(ThreadCount(), threadsAfterFirst);
    EXPECT_TRUE(log_.Contains("HttpComms : Host Lookup Error : media.example"));

    HttpComms aborted("media.example", 80, preferences.get());
    aborted.SetResolver(resolver.Get());  // the default 10 s bound
    auto connecting = std::async(std::launch::async, [&] { return aborted.SendRaw("GET / HTTP/1.0"); });
    ASSERT_TRUE(test::WaitFor([&] {
        std::lock_guard lock(resolver.mutex);
        return resolver.calls == 2;
    }));
    const auto start = std::chrono::steady_clock::now();
    aborted.Abort();
    ASSERT_EQ(connecting.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(connecting.get(), kHttpNotConnected);

    // A dotted address never waits for the resolver (nor costs a thread).
    RecordingPeer peer;
    HttpComms numeric("127.0.0.1", peer.server.Port(), preferences.get());
    numeric.SetResolver(resolver.Get());
    const auto connectStart = std::chrono::steady_clock::now();
    EXPECT_EQ(numeric.Connect(), kHttpOk);
    EXPECT_LT(std::chrono::steady_clock::now() - connectStart, std::chrono::milliseconds(500));
    {
        std::lock_guard lock(resolver.mutex);
        EXPECT_EQ(resolver.calls, 2);
    }
    resolver.Release();  // the helpers end; the destructors join them
}

// The "Connect()" line names the failing call's own code, not a stale errno.
TEST_F(HttpCommsTest, TheConnectLineCarriesTheLookupsOwnCode) {
    auto preferences = Direct();
    HttpComms unknown("no-such-host.invalid", 80, preferences.get());
    errno = 0;
    EXPECT_EQ(unknown.SendRaw("GET / HTTP/1.0"), kHttpNotConnected);
    const std::string code = std::to_string(EAI_NONAME);
    EXPECT_TRUE(log_.Contains("HttpComms Error : Code = " + code + " Function = gethostbyname()"));
    EXPECT_TRUE(log_.Contains("HttpComms Error : Code = " + code + " Function = Connect()"));
}

TEST_F(HttpCommsTest, APortBeyond16BitsIsNeverCutDown) {
    RecordingPeer peer("X\r\n\r\n");
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", peer.server.Port() + 65536, preferences.get());
    EXPECT_EQ(comms.Connect(), kHttpSendFailed);
    HttpComms negative("127.0.0.1", -1, preferences.get());
    EXPECT_EQ(negative.Connect(), kHttpSendFailed);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(peer.server.Accepted(), 0);
    EXPECT_TRUE(log_.Contains("HttpComms : Connect Error : 127.0.0.1"));
}

// A peer writes its head or body one byte at a time, each well within the
// per-receive limit; the whole head and the body's rate are bounded.
TEST_F(HttpCommsTest, TricklingPeersAreCutOffAtTheirBounds) {
    std::atomic<bool> stop{false};
    const auto trickle = [&stop](Connection& c, const std::string& first) {
        c.ReadUntil("\r\n\r\n");
        c.Write(first);
        for (int i = 0; i < 200 && !stop && c.Write("h"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    };
    LoopbackServer headTrickle([&](Connection& c) { trickle(c, "HTTP/1.0 200 OK\r\n"); });
    LoopbackServer bodyTrickle([&](Connection& c) { trickle(c, "HTTP/1.0 200 OK\r\n\r\n" + std::string(1500, 'b')); });
    auto preferences = Direct();
    HttpComms::Timeouts limits;
    limits.connectMs = 1000;
    limits.receiveMs = 1000;
    limits.headMs = 600;
    limits.bodyWindowMs = 600;

    HttpComms head("127.0.0.1", headTrickle.Port(), preferences.get());
    head.SetTimeouts(limits);
    ASSERT_EQ(head.Get("/", false), kHttpOk);
    std::string text;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(head.ReceiveHead(text), kHttpReceiveFailed);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(550));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    EXPECT_TRUE(log_.Contains("HttpComms : Response head not complete after 600 ms, giving up"));

    HttpComms body("127.0.0.1", bodyTrickle.Port(), preferences.get());
    body.SetTimeouts(limits);
    ASSERT_EQ(body.Get("/", false), kHttpOk);
    text.clear();
    ASSERT_EQ(body.ReceiveHead(text), kHttpOk);
    std::ostringstream sink;
    start = std::chrono::steady_clock::now();
    // The first block and then some come at once; the trickle never makes 1024 more in a window.
    EXPECT_EQ(body.ReceiveBytes(1024, sink), kHttpOk);
    EXPECT_EQ(body.ReceiveBytes(1024, sink), kHttpReceiveFailed);
    waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(550));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    EXPECT_TRUE(log_.Contains("HttpComms : Body moved fewer than 1024 bytes in 600 ms, giving up"));
    stop = true;
}

TEST_F(HttpCommsTest, ASlowButSteadyBodyIsNotCutOff) {
    const std::string payload(6000, 's');
    LoopbackServer server([&](Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("X\r\n\r\n");
        for (std::size_t at = 0; at < payload.size(); at += 600) {  // 600 bytes every 200 ms: 1024 in any 400 ms
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            c.Write(payload.substr(at, 600));
        }
    });
    auto preferences = Direct();
    HttpComms comms("127.0.0.1", server.Port(), preferences.get());
    HttpComms::Timeouts limits;
    limits.bodyWindowMs = 600;
    comms.SetTimeouts(limits);
    ASSERT_EQ(comms.Get("/", false), kHttpOk);
    std::string head;
    ASSERT_EQ(comms.ReceiveHead(head), kHttpOk);
    std::ostringstream body;
    for (std::size_t at = 0; at < payload.size(); at += 1000) {
        ASSERT_EQ(comms.ReceiveBytes(1000, body), kHttpOk) << at;
    }
    EXPECT_EQ(body.str(), payload);
}

TEST(ResponseHeadTest, AHeadIsFramedFromBytesAlone) {
    using Progress = ResponseHead::Progress;
    std::string head;
    std::size_t taken = 0;
    // Split anywhere, even inside the blank line; what follows it is not taken.
    EXPECT_EQ(ResponseHead::Take(head, 0, "HTTP/1.0 200 OK\r\nA: b\r", 100, taken), Progress::NeedMore);
    EXPECT_EQ(taken, 22u);
    EXPECT_EQ(ResponseHead::Take(head, 0, "\n\r\nBODY", 100, taken), Progress::Complete);
    EXPECT_EQ(taken, 3u);
    EXPECT_EQ(head, "HTTP/1.0 200 OK\r\nA: b\r\n");

    // A head after text already in the string counts only its own bytes.
    std::string appended = "kept";
    EXPECT_EQ(ResponseHead::Take(appended, 4, "X\r\n\r\n", 5, taken), Progress::Complete);
    EXPECT_EQ(appended, "keptX\r\n");

    std::string endless;
    EXPECT_EQ(ResponseHead::Take(endless, 0, std::string(50, 'h'), 16, taken), Progress::TooLong);
    EXPECT_EQ(taken, 17u);
    std::string empty;
    EXPECT_EQ(ResponseHead::Take(empty, 0, "", 16, taken), Progress::NeedMore);
    EXPECT_EQ(taken, 0u);
    std::string bare;
    EXPECT_EQ(ResponseHead::Take(bare, 0, "\r\n\r\n", 16, taken), Progress::Complete);
    EXPECT_EQ(bare, "\r\n");
}

}  // namespace
}  // namespace vorn
