// A track's picture fetched from a media host: what is stored and under which
// name, and that nothing else ever is, costing more than one log line or
// holding its caller.
#include "download/ArtRetriever.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

#include "foundation/Preferences.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/MediaHostStub.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

const std::string kJpeg = std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11) + std::string(3000, 'j');
const std::string kPng = std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16) + std::string(500, 'p');

class ArtRetrieverTest : public ::testing::Test {
protected:
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    int LogLines(const std::string& text) const {
        std::istringstream lines(log_.Text());
        int count = 0;
        for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    Preferences direct_;
    std::string folder_ = home_ / "UnRated/";
    bool made_ = std::filesystem::create_directories(folder_);
    test::MediaHostStub host_;
};

TEST_F(ArtRetrieverTest, APictureIsStoredNamedByItsKindAndGoesThroughTheProxyWhenOneIsSet) {
    host_.Serve("/art/1", kJpeg);
    host_.Serve("/art/2", kPng);
    ArtRetriever art(&direct_);
    EXPECT_EQ(art.Fetch(UrlParts(host_.Url("/art/1")), folder_, "Artist - Song [1]"), kRetrieved);
    EXPECT_EQ(art.Fetch(UrlParts(host_.Url("/art/2")), folder_, "Other [2]"), kRetrieved);
    EXPECT_EQ(Files(), (std::vector<std::string>{"Artist - Song [1].jpg", "Other [2].png"}));
    EXPECT_EQ(test::ReadFile(folder_ + "Artist - Song [1].jpg"), kJpeg);
    EXPECT_EQ(test::ReadFile(folder_ + "Other [2].png"), kPng);

    test::WriteFile(home_.StorePath(),
                    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Mirelund\\Vorn]\n\"pref_useproxy\"=\"1\"\n"
                    "\"pref_proxyserver\"=\"127.0.0.1\"\n\"pref_proxyport\"=\"" +
                        host_.Origin().substr(host_.Origin().find(':') + 1) + "\"\n");
    Preferences viaProxy;
    ArtRetriever proxied(&viaProxy);
    EXPECT_EQ(proxied.Fetch(UrlParts("http://media.example:8000/art/1"), folder_, "Third [3]"), kRetrieved);
    EXPECT_EQ(host_.RequestLines().back(), "GET http://media.example:8000/art/1 HTTP/1.1");
    EXPECT_EQ(test::ReadFile(folder_ + "Third [3].jpg"), kJpeg);
    EXPECT_EQ(LogLines("ArtRetriever"), 0);
}

TEST_F(ArtRetrieverTest, AnythingButASmallPictureIsRefusedWithOneLineAndLeavesNoFile) {
    // Declares more than a picture may have and would then send it.
    test::LoopbackServer large([](test::LoopbackServer::Connection& c) {
        c.ReadUntil("\r\n\r\n");
        c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(ArtRetriever::kMaxBytes + 1) + "\r\n\r\n" +
                kJpeg);
    });
    host_.Serve("/page.html", "<html><body>no picture</body></html>");
    host_.Serve("/empty", "");
    const std::string largeUrl = "http://127.0.0.1:" + std::to_string(large.Port()) + "/big.jpg";
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {host_.Url("/art/missing.jpg"), kUnusableResponse},  // 404
        {largeUrl, kUnusableResponse},
        {host_.Url("/page.html"), kNotAnMp3},
        {host_.Url("/empty"), kNotAnMp3},
        {"https://" + host_.Origin() + "/art/1", kNotAnMp3},
        {"http://127.0.0.1:99999/art/1", kNotAnMp3},
    };
    ArtRetriever art(&direct_);
    for (const auto& [url, code] : cases) {
        const int before = LogLines("ArtRetriever : No picture from " + url + " : ");
        EXPECT_EQ(art.Fetch(UrlParts(url), folder_, "song"), code) << url;
        EXPECT_EQ(LogLines("ArtRetriever : No picture from " + url + " : "), before + 1) << url;
    }
    EXPECT_EQ(LogLines("ArtRetriever"), static_cast<int>(cases.size())) << log_.Text();
    EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(ArtRetrieverTest, AbortEndsAFetchThatHangsAndRefusesTheNext) {
    std::promise<void> released;
    std::shared_future<void> release = released.get_future().share();
    test::LoopbackServer stalling(
        [release](test::LoopbackServer::Connection& c) {
            c.ReadUntil("\r\n\r\n");
            c.Write("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + kJpeg.substr(0, 100));
            release.wait_for(std::chrono::seconds(20));  // the rest never comes
        },
        true);
    ArtRetriever art(&direct_);
    auto fetch = std::async(std::launch::async, [&] {
        return art.Fetch(UrlParts("http://127.0.0.1:" + std::to_string(stalling.Port()) + "/a.jpg"), folder_, "song");
    });
    ASSERT_TRUE(test::WaitFor([&] { return stalling.Accepted() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    art.Abort();
    const bool ended = fetch.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    released.set_value();
    ASSERT_TRUE(ended);
    EXPECT_EQ(fetch.get(), kCancelled);
    host_.Serve("/art/1", kJpeg);
    EXPECT_EQ(art.Fetch(UrlParts(host_.Url("/art/1")), folder_, "song"), kCancelled);
    EXPECT_EQ(host_.Requests(), 0);
    EXPECT_EQ(Files(), std::vector<std::string>{});
}

}  // namespace
}  // namespace vorn
