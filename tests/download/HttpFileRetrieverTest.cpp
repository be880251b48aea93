#include "download/HttpFileRetriever.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <limits>
#include <mutex>

#include "foundation/Preferences.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

using test::IsolatedHome;
using test::LoopbackServer;
using test::ReadFile;
using test::ScopedLog;
using Connection = LoopbackServer::Connection;

// Records what a retriever reports.
class Recorder : public FileRetrieverListener {
public:
    void OnFileRetrieved(std::int32_t totalBytes, float rateKBps) override {
        std::lock_guard lock(mutex_);
        retrievedBytes = totalBytes;
        retrievedRate = rateKBps;
        ++finals;
        changed_.notify_all();
    }
    void OnRetrievalError(std::int32_t code) override {
        std::lock_guard lock(mutex_);
        errorCode = code;
        ++finals;
        changed_.notify_all();
    }
    void OnRetrievalStatus(float rateKBps, float percent) override {
        std::lock_guard lock(mutex_);
        percents.push_back(percent);
        rates.push_back(rateKBps);
        changed_.notify_all();
    }
    bool WaitForProgress(std::size_t reports) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return percents.size() >= reports; });
    }
    std::vector<float> Percents() {
        std::lock_guard lock(mutex_);
        return percents;
    }

    std::mutex mutex_;  // guards every field
    std::condition_variable changed_;
    std::int32_t retrievedBytes = -1;
    float retrievedRate = -1.0f;
    std::int32_t errorCode = -1;
    int finals = 0;
    std::vector<float> percents;
    std::vector<float> rates;
};

// A media host whose answer to each request is chosen by the test.
class MediaHost {
public:
    using Answer = std::function<void(Connection&, const std::string& request, int index)>;
    explicit MediaHost(Answer answer)
        : answer_(std::move(answer)), server_([this](Connection& c) {
              const std::string request = c.ReadUntil("\r\n\r\n");
              int index = 0;
              {
                  std::lock_guard lock(mutex_);
                  requests_.push_back(request);
                  index = static_cast<int>(requests_.size()) - 1;
              }
              answer_(c, request, index);
          }) {}
    std::uint16_t Port() const { return server_.Port(); }
    std::string Origin() const { return "127.0.0.1:" + std::to_string(Port()); }
    std::vector<std::string> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    Answer answer_;
    std::mutex mutex_;  // guards requests_
    std::vector<std::string> requests_;
    LoopbackServer server_;
};

// The part files the retrievers left in a folder.
std::vector<std::string> PartFiles(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= 5 && name.compare(name.size() - 5, 5, ".part") == 0) found.push_back(name);
    }
    return found;
}

bool IsPartName(const std::string& name) {
    if (name.size() != 6 + 16 + 5 || name.rfind(".vorn-", 0) != 0 || name.compare(22, 5, ".part") != 0) return false;
    return name.substr(6, 16).find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string Body(std::size_t size) {
    std::string body;
    for (std::size_t i = 0; i < size; ++i) body.push_back(static_cast<char>((i * 31 + 7) & 0xff));
    return body;
}

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

class HttpFileRetrieverTest : public ::testing::Test {
protected:
    std::string Target(const std::string& name = "song.mp3") const { return home_ / name; }
    // Runs one download to its end and returns the recorder.
    void Download(Recorder& recorder, const std::string& url, const std::string& path,
                  const Preferences* preferences = nullptr) {
        HttpFileRetriever retriever(&recorder, path, UrlParts(url), preferences ? preferences : &direct_);
        retriever.Start();
        ASSERT_TRUE(test::WaitFor([&] { return retriever.IsFinished(); }, 20000));
    }

    IsolatedHome home_;
    ScopedLog log_{0};
    Preferences direct_;
};

TEST_F(HttpFileRetrieverTest, DownloadsDirectlyWhenTheContentNetworkCannotBeReached) {
    const std::string body = Body(2500);
    MediaHost host([&](Connection& c, const std::string&, int) { c.Write(Ok(body)); });
    Recorder recorder;
    const std::string url = "http://" + host.Origin() + "/media/7.mp3";
    Download(recorder, url, Target());

    EXPECT_EQ(recorder.finals, 1);
    EXPECT_EQ(recorder.retrievedBytes, 2500);
    EXPECT_GT(recorder.retrievedRate, 0.0f);
    EXPECT_EQ(ReadFile(Target()), body);
    EXPECT_TRUE(PartFiles(home_.Path()).empty());
    // 0 when the file is created, then after each full block; the last block only
    // shows in the final report.
    ASSERT_EQ(recorder.percents.size(), 3u);
    EXPECT_FLOAT_EQ(recorder.percents[0], 0.0f);
    EXPECT_NEAR(recorder.percents[1], 40.96f, 0.001f);
    EXPECT_NEAR(recorder.percents[2], 81.92f, 0.001f);
    // The two content-network attempts failed before reaching any server.
    ASSERT_EQ(host.Requests().size(), 1u);
    EXPECT_EQ(host.Requests()[0], "GET /media/7.mp3 HTTP/1.1\nHost:" + host.Origin() + "\nConnection: close\r\n\r\n");
    EXPECT_TRUE(log_.Contains("Failed to get file using HTTP1.1 with Coral trying HTTP1.0 with Coral : " + url));
    EXPECT_TRUE(log_.Contains("Failed to get file using HTTP1.1 and HTTP1.0 with Coral trying HTTP1.1 with no cache : " + url));
}

TEST_F(HttpFileRetrieverTest, TheContentNetworkIsTriedFirstThroughTheProxy) {
    const std::string body = Body(100);
    MediaHost proxy([&](Connection& c, const std::string&, int) { c.Write(Ok(body)); });
    test::WriteFile(home_.StorePath(),
                    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n\"pref_useproxy\"=\"1\"\n"
                    "\"pref_proxyserver\"=\"127.0.0.1\"\n\"pref_proxyport\"=\"" + std::to_string(proxy.Port()) + "\"\n");
    Preferences viaProxy;

    Recorder withPort;
    Download(withPort, "http://media.example:8000/m/1.mp3", Target("a.mp3"), &viaProxy);
    Recorder port80;
    Download(port80, "http://media.example/m/2.mp3", Target("b.mp3"), &viaProxy);
    Recorder onMirror;
    Download(onMirror, "http://m.vorn-cdn.invalid:9000/m/3.mp3", Target("c.mp3"), &viaProxy);

    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0],
              "GET http://media.example:8000.vorn-cdn.invalid:8090/m/1.mp3 HTTP/1.1\n"
              "Host:media.example:8000.vorn-cdn.invalid:8090\nConnection: close\r\n\r\n");
    EXPECT_EQ(requests[1],
              "GET http://media.example.vorn-cdn.invalid:8090/m/2.mp3 HTTP/1.1\n"
              "Host:media.example.vorn-cdn.invalid:8090\nConnection: close\r\n\r\n");
    // A host already on the mirror keeps its own host and port.
    EXPECT_EQ(requests[2],
              "GET http://m.vorn-cdn.invalid:9000/m/3.mp3 HTTP/1.1\nHost:m.vorn-cdn.invalid:9000\nConnection: close\r\n\r\n");
    EXPECT_EQ(ReadFile(Target("b.mp3")), body);
}

TEST_F(HttpFileRetrieverTest, OneRedirectIsFollowedAndASecondIsRefused) {
    const std::string body = Body(3000);
    std::string location;
    MediaHost host([&](Connection& c, const std::string& request, int) {
        if (request.find("/first.mp3") != std::string::npos) {
            c.Write("HTTP/1.1 302 Found\r\nlocation: " + location + "\r\nContent-Length: 0\r\n\r\n");
        } else {
            c.Write(Ok(body));
        }
    });
    location = "http://" + host.Origin() + "/second.mp3";
    Recorder recorder;
    Download(recorder, "http://" + host.Origin() + "/first.mp3", Target());
    EXPECT_EQ(recorder.retrievedBytes, 3000);
    EXPECT_EQ(ReadFile(Target()), body);
    ASSERT_EQ(host.Requests().size(), 2u);
    EXPECT_EQ(host.Requests()[1].rfind("GET /second.mp3 HTTP/1.1\n", 0), 0u);

    MediaHost loop([&](Connection& c, const std::string& request, int) {
        const std::string next = request.find("/a.mp3") != std::string::npos ? "/b.mp3" : "/a.mp3";
        c.Write("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(loop.Port()) + next + "\r\n\r\n");
    });
    Recorder refused;
    Download(refused, "http://" + loop.Origin() + "/a.mp3", Target("loop.mp3"));
    EXPECT_EQ(refused.errorCode, kUnusableResponse);
    EXPECT_EQ(refused.finals, 1);
    // Each direct attempt: the request, the redirect, and the retry with the other version.
    EXPECT_EQ(loop.Requests().size(), 6u);
    EXPECT_FALSE(std::filesystem::exists(Target("loop.mp3")));
}

TEST_F(HttpFileRetrieverTest, UnusableAnswersFailEveryAttemptWithTheirCode) {
    MediaHost noLength([](Connection& c, const std::string&, int) { c.Write("HTTP/1.0 200 OK\r\n\r\nabc"); });
    Recorder recorder;
    Download(recorder, "http://" + noLength.Origin() + "/x.mp3", Target());
    EXPECT_EQ(recorder.errorCode, kUnusableResponse);
    EXPECT_EQ(noLength.Requests().size(), 2u);  // HTTP/1.1 and 1.0 direct
    EXPECT_TRUE(log_.Contains("HTTPFileRetriever : Error no Content-Length header : header=\nHTTP/1.0 200 OK\r\n"));
    EXPECT_TRUE(log_.Contains("File Download failed http://" + noLength.Origin() + "/x.mp3"));
    EXPECT_TRUE(log_.Contains("*****WARNING***** : Failed to get file using HTTP1.1 with no cache trying HTTP1.0 with no cache : http://" +
                              noLength.Origin() + "/x.mp3"));

    MediaHost notFound([](Connection& c, const std::string&, int) { c.Write("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"); });
    Recorder missing;
    Download(missing, "http://" + notFound.Origin() + "/x.mp3", Target());
    EXPECT_EQ(missing.errorCode, kUnusableResponse);

    MediaHost negative([](Connection& c, const std::string&, int) { c.Write("HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n"); });
    Recorder bad;
    Download(bad, "http://" + negative.Origin() + "/x.mp3", Target());
    EXPECT_EQ(bad.errorCode, kUnusableResponse);
    EXPECT_FALSE(std::filesystem::exists(Target()));
}

TEST_F(HttpFileRetrieverTest, OnlyLowerCaseMp3NamesAreAccepted) {
    MediaHost host([](Connection& c, const std::string&, int) { c.Write(Ok("data")); });
    Recorder recorder;
    Download(recorder, "http://" + host.Origin() + "/x.mp3", Target("SONG.MP3"));
    EXPECT_EQ(recorder.errorCode, kNotAnMp3);
    EXPECT_EQ(host.Requests().size(), 2u);  // tried to the end like any failure
    EXPECT_FALSE(std::filesystem::exists(Target("SONG.MP3")));
    EXPECT_TRUE(log_.Contains("HTTPFileRetriever : Error, file is not an mp3: filename=" + Target("SONG.MP3")));
}

TEST_F(HttpFileRetrieverTest, AServerClosingEarlyLeavesNoFile) {
    MediaHost host([](Connection& c, const std::string&, int) {
        c.Write("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + Body(1800));
    });
    Recorder recorder;
    Download(recorder, "http://" + host.Origin() + "/x.mp3", Target());
    EXPECT_EQ(recorder.errorCode, kReceiveFailed);
    EXPECT_FALSE(std::filesystem::exists(Target()));
    EXPECT_TRUE(PartFiles(home_.Path()).empty());
    EXPECT_TRUE(log_.Contains("HttpFileRetriever : Error receiving bytes "));
}

TEST_F(HttpFileRetrieverTest, StopMidTransferDeletesThePartAndReportsNothing) {
    std::promise<void> release;
    auto released = release.get_future().share();
    MediaHost host([released](Connection& c, const std::string&, int) {
        c.Write("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + Body(4096));
        released.wait_for(std::chrono::seconds(20));
    });
    Recorder recorder;
    HttpFileRetriever retriever(&recorder, Target(), UrlParts("http://" + host.Origin() + "/x.mp3"), &direct_);
    retriever.Start();
    ASSERT_TRUE(recorder.WaitForProgress(3));
    const auto start = std::chrono::steady_clock::now();
    retriever.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(retriever.IsFinished());
    EXPECT_EQ(recorder.finals, 0);
    EXPECT_TRUE(PartFiles(home_.Path()).empty());
    EXPECT_FALSE(std::filesystem::exists(Target()));
    EXPECT_TRUE(log_.Contains("FINE : Get file thread ended"));
    release.set_value();
}

TEST_F(HttpFileRetrieverTest, AnExistingFileCountsAsDownloaded) {
    test::WriteFile(Target(), "already here");
    MediaHost host([](Connection& c, const std::string&, int) { c.Write(Ok(Body(999))); });
    Recorder recorder;
    Download(recorder, "http://" + host.Origin() + "/x.mp3", Target());
    EXPECT_EQ(recorder.retrievedBytes, 999);
    EXPECT_EQ(recorder.retrievedRate, 0.0f);
    EXPECT_EQ(ReadFile(Target()), "already here");
    EXPECT_TRUE(log_.Contains("File already exists " + Target()));
}

TEST_F(HttpFileRetrieverTest, AnEmptyBodyMakesAnEmptyFile) {
    MediaHost host([](Connection& c, const std::string&, int) { c.Write("HTTP/1.0 200 OK\r\nContent-Length:0\r\n\r\n"); });
    Recorder recorder;
    Download(recorder, "http://" + host.Origin() + "/x.mp3", Target());
    EXPECT_EQ(recorder.retrievedBytes, 0);
    EXPECT_TRUE(std::filesystem::exists(Target()));
    EXPECT_EQ(ReadFile(Target()), "");
}

TEST_F(HttpFileRetrieverTest, AUrlThatIsNotHttpIsRefusedAtOnce) {
    Recorder recorder;
    HttpFileRetriever retriever(&recorder, Target(), UrlParts("https://example.com/x.mp3"), &direct_);
    retriever.Start();
    EXPECT_EQ(recorder.errorCode, kNotAnMp3);  // before Start returned
    EXPECT_TRUE(retriever.IsFinished());

    HttpFileRetriever logsOnly(nullptr, Target(), UrlParts("ftp://example.com/x.mp3"), &direct_);
    logsOnly.Start();
    EXPECT_TRUE(log_.Contains("HTTP file retrieval error : 6"));
}

// The second content-network attempt really is HTTP/1.0 on the wire.
TEST_F(HttpFileRetrieverTest, TheSecondMirrorAttemptSendsHttp10) {
    const std::string body = Body(10);
    MediaHost proxy([&](Connection& c, const std::string&, int index) {
        c.Write(index == 0 ? std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n") : Ok(body));
    });
    test::WriteFile(home_.StorePath(),
                    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n\"pref_useproxy\"=\"1\"\n"
                    "\"pref_proxyserver\"=\"127.0.0.1\"\n\"pref_proxyport\"=\"" + std::to_string(proxy.Port()) + "\"\n");
    Preferences viaProxy;
    Recorder recorder;
    Download(recorder, "http://media.example/m/1.mp3", Target(), &viaProxy);
    EXPECT_EQ(recorder.retrievedBytes, 10);
    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], "GET http://media.example.vorn-cdn.invalid:8090/m/1.mp3 HTTP/1.0\r\n\r\n");
}

// A body of whole blocks: the last block shows only in the final report, never
// as an extra 100 % progress report.
TEST_F(HttpFileRetrieverTest, ABodyOfWholeBlocksGetsNoExtraFullReport) {
    MediaHost host([](Connection& c, const std::string&, int) { c.Write(Ok(Body(3072))); });
    Recorder recorder;
    Download(recorder, "http://" + host.Origin() + "/x.mp3", Target());
    EXPECT_EQ(recorder.retrievedBytes, 3072);
    ASSERT_EQ(recorder.percents.size(), 3u);
    EXPECT_FLOAT_EQ(recorder.percents[0], 0.0f);
    EXPECT_NEAR(recorder.percents[1], 100.0f / 3, 0.001f);
    EXPECT_NEAR(recorder.percents[2], 200.0f / 3, 0.001f);
}

// The part file has a short hidden name of its own in the target's folder, so a
// local name at the file system's limit of 255 bytes still downloads.
TEST_F(HttpFileRetrieverTest, ALongNameDownloadsThroughAShortHiddenPart) {
    std::promise<void> release;
    auto released = release.get_future().share();
    const std::string body = Body(5000);
    MediaHost host([&, released](Connection& c, const std::string&, int) {
        c.Write("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + body.substr(0, 2048));
        released.wait_for(std::chrono::seconds(10));
        c.Write(body.substr(2048));
    });
    const std::string name = std::string(251, 'n') + ".mp3";
    Recorder recorder;
    HttpFileRetriever retriever(&recorder, Target(name), UrlParts("http://" + host.Origin() + "/x.mp3"), &direct_);
    retriever.Start();
    ASSERT_TRUE(recorder.WaitForProgress(2));
    const auto parts = PartFiles(home_.Path());
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_TRUE(IsPartName(parts[0])) << parts[0];
    EXPECT_EQ(home_ / parts[0], retriever.PartPath());
    release.set_value();
    ASSERT_TRUE(test::WaitFor([&] { return retriever.IsFinished(); }, 10000));
    EXPECT_EQ(recorder.retrievedBytes, 5000);
    EXPECT_EQ(ReadFile(Target(name)), body);
    EXPECT_TRUE(PartFiles(home_.Path()).empty());

    // Two downloads of one name never share a part file.
    EXPECT_NE(HttpFileRetriever::PartName(Target()), HttpFileRetriever::PartName(Target()));
    EXPECT_TRUE(IsPartName(HttpFileRetriever::PartName(Target())));
}

// A port beyond 16 bits must never be cut down to another port (here the host's
// own port + 65536, which would otherwise reach it).
TEST_F(HttpFileRetrieverTest, APortThatIsNoTcpPortIsAnUnusableUrl) {
    MediaHost host([](Connection& c, const std::string&, int) { c.Write(Ok("data")); });
    const std::string wide = "http://127.0.0.1:" + std::to_string(host.Port() + 65536) + "/x.mp3";
    Recorder recorder;
    HttpFileRetriever retriever(&recorder, Target(), UrlParts(wide), &direct_);
    retriever.Start();
    EXPECT_EQ(recorder.errorCode, kNotAnMp3);
    EXPECT_TRUE(retriever.IsFinished());
    EXPECT_TRUE(log_.Contains("HTTPFileRetriever : Bad port in URL : file=" + wide));

    MediaHost redirecting([&](Connection& c, const std::string&, int) {
        c.Write("HTTP/1.0 302 Found\r\nLocation: " + wide + "\r\n\r\n");
    });
    Recorder redirected;
    Download(redirected, "http://" + redirecting.Origin() + "/x.mp3", Target());
    EXPECT_EQ(redirected.errorCode, kUnusableResponse);
    EXPECT_EQ(host.Requests().size(), 0u);
    EXPECT_FALSE(std::filesystem::exists(Target()));
}

// A station must not fill the disk: lengths above the limit, lengths no number
// can hold, and downloads that would leave too little free space are refused
// before anything is written.
TEST_F(HttpFileRetrieverTest, DeclaredLengthsThatWouldFillTheDiskAreRefused) {
    std::string length;
    MediaHost host([&](Connection& c, const std::string&, int) {
        c.Write("HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + Body(3000));
    });
    const std::string url = "http://" + host.Origin() + "/x.mp3";
    for (const std::string& declared : {std::string("1073741825"), std::string("9223372036854775807"),
                                        std::string("9223372036854775808"), std::string("99999999999999999999999"),
                                        std::string("abc"), std::string("12abc"), std::string("")}) {
        length = declared;
        Recorder recorder;
        Download(recorder, url, Target());
        EXPECT_EQ(recorder.errorCode, kUnusableResponse) << declared;
        EXPECT_EQ(recorder.percents.size(), 0u) << declared;  // no file was started
        EXPECT_FALSE(std::filesystem::exists(Target())) << declared;
        EXPECT_TRUE(PartFiles(home_.Path()).empty()) << declared;
    }
    EXPECT_TRUE(log_.Contains("HTTPFileRetriever : Content-Length 1073741825 above the limit of 1073741824 bytes : file=" + url));

    // The store's limit replaces the default.
    length = "2500";
    test::WriteFile(home_.StorePath(),
                    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n\"MaxDownloadBytes\"=\"2000\"\n");
    Recorder limited;
    Download(limited, url, Target());
    EXPECT_EQ(limited.errorCode, kUnusableResponse);
    EXPECT_TRUE(log_.Contains("HTTPFileRetriever : Content-Length 2500 above the limit of 2000 bytes"));

    // Too little room left on the target's file system.
    Recorder crowded;
    HttpFileRetriever retriever(&crowded, Target(), UrlParts(url), &direct_);
    retriever.SetLimits(HttpFileRetriever::kDefaultMaxBytes, std::numeric_limits<std::uint64_t>::max() / 2);
    retriever.Start();
    ASSERT_TRUE(test::WaitFor([&] { return retriever.IsFinished(); }, 20000));
    EXPECT_EQ(crowded.errorCode, kUnusableResponse);
    EXPECT_FALSE(std::filesystem::exists(Target()));
    EXPECT_TRUE(PartFiles(home_.Path()).empty());
    EXPECT_TRUE(log_.Contains("HTTPFileRetriever : Not enough free space for 2500 bytes : "));
    EXPECT_TRUE(log_.Contains(" bytes free, " + std::to_string(std::numeric_limits<std::uint64_t>::max() / 2) +
                              " must stay free : file=" + Target()));
}

TEST_F(HttpFileRetrieverTest, TheStoreLimitIsANumberCappedTo32Bits) {
    const auto store = [&](const std::string& line) {
        test::WriteFile(home_.StorePath(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n" + line + "\n");
        return HttpFileRetriever::ConfiguredMaxBytes();
    };
    EXPECT_EQ(store(""), HttpFileRetriever::kDefaultMaxBytes);
    EXPECT_EQ(store("\"MaxDownloadBytes\"=\"1500000000\""), 1500000000);
    EXPECT_EQ(store("\"MaxDownloadBytes\"=dword:80000000"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(store("\"MaxDownloadBytes\"=\"99999999999999999999\""), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(store("\"MaxDownloadBytes\"=\"lots\""), HttpFileRetriever::kDefaultMaxBytes);
    EXPECT_EQ(store("\"MaxDownloadBytes\"=\"0\""), HttpFileRetriever::kDefaultMaxBytes);
}

}  // namespace
}  // namespace vorn
