// The listener page as a browser shows it: headless Chromium loads the page
// from a running media host, its DOM holds the chart's bars with the right
// counts and the hostile tag as text, and its screenshot shows the chart.
// Skipped where Chromium is not installed (scripts/install-deps brings it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "imaging/PngDecoder.h"
#include "station/web/MediaSite.h"
#include "station/app/StationServer.h"
#include "tests/station/support/Mp3Files.h"
#include "tests/station/support/StationTestSupport.h"
#include "tests/support/TempDir.h"

namespace vorn::station::test {
namespace {

const std::string kHostile = "<script>alert(1)</script>";
constexpr int kBrowserSeconds = 90;

std::string Chromium() {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', at), folders.size());
        const std::string candidate = folders.substr(at, end - at) + "/chromium";
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return {};
}

// Runs the browser with its output into `outputPath`, in a process group of
// its own that is ended when it has not finished within kBrowserSeconds.
// The exit status, or -1.
int RunBrowser(std::vector<std::string> arguments, const std::string& outputPath) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = -1;
    const int failed = ::posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kBrowserSeconds);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class BrowserPagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        chromium_ = Chromium();
        if (chromium_.empty()) {
            GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it); page tests skipped";
        }
        std::filesystem::create_directories(dir_ / "music");
        ASSERT_TRUE(WriteSilentMp3(dir_ / "music/hostile.mp3", 2));
        ASSERT_TRUE(TagMp3(dir_ / "music/hostile.mp3", kHostile, "Northern Weather", "Dusk", "Ambient"));
        // Lengths apart: files of the same sound are one recording.
        ASSERT_TRUE(WriteSilentMp3(dir_ / "music/orchard.mp3", 3));
        ASSERT_TRUE(TagMp3(dir_ / "music/orchard.mp3", "Static Orchard", "Low Sun", "Dusk", "Ambient"));
        ASSERT_TRUE(WriteSilentMp3(dir_ / "music/third.mp3", 4));
        ASSERT_TRUE(TagMp3(dir_ / "music/third.mp3", "Third", "Field", "Other", "Folk"));
        parts_ = std::make_unique<StationParts>(dir_.Path());
        ASSERT_EQ(parts_->catalogue->Rescan(), 3);

        ServerSettings settings;
        settings.protocolPort = 0;
        settings.mediaPort = 0;
        settings.mirrorPort = 0;
        server_ = std::make_unique<StationServer>(settings);
        std::string error;
        ASSERT_TRUE(server_->Bind(error)) << error;
        site_ = std::make_unique<MediaSite>(parts_->store, *parts_->catalogue,
                                            MediaLinks{"127.0.0.1", server_->MediaPort()}, false);
        server_->Start([](const std::string&, std::string&, std::string& why) {
            why = "no protocol here";
            return ProtocolOutcome::Unusable;
        }, *site_);

        // One listener: two five-star ratings, one of two stars.
        listener_ = parts_->store.NewListener();
        std::vector<std::pair<std::int32_t, std::int32_t>> ratings;
        for (const CatalogueEntry& entry : parts_->catalogue->Current()->Entries()) {
            ratings.emplace_back(entry.record.id, entry.record.genre == "Ambient" ? 5 : 2);
        }
        ASSERT_TRUE(parts_->store.StoreRatings(listener_, ratings));
        token_ = parts_->store.TokenOf(listener_);
        ASSERT_FALSE(token_.empty());
    }

    // The server stops before the site it serves goes: the browser may still
    // hold a connection whose request is being answered.
    void TearDown() override {
        if (server_) server_->Stop();
    }

    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(server_->MediaPort()) + "/listener/" + token_;
    }

    std::vector<std::string> Browser(std::vector<std::string> more) const {
        // Tests run as root in CI, where Chromium refuses its sandbox.
        std::vector<std::string> arguments = {chromium_, "--headless", "--no-sandbox", "--disable-gpu",
                                              "--no-first-run", "--user-data-dir=" + (dir_ / "profile")};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }

    std::string chromium_;
    vorn::test::TempDir dir_;
    std::unique_ptr<StationParts> parts_;
    std::unique_ptr<StationServer> server_;
    std::unique_ptr<MediaSite> site_;
    std::int32_t listener_ = 0;
    std::string token_;
};

TEST_F(BrowserPagesTest, TheDomHoldsTheBarsAndTheHostileTagAsText) {
    ASSERT_EQ(RunBrowser(Browser({"--dump-dom", Url()}), dir_ / "dom.html"), 0);
    const std::string dom = vorn::test::ReadFile(dir_ / "dom.html");
    ASSERT_NE(dom.find("Your listening"), std::string::npos) << dom.substr(0, 2000);

    std::map<int, int> bars;
    const std::regex bar(R"re(<rect class="bar" data-stars="(\d)" data-count="(\d+)")re");
    for (std::sregex_iterator it(dom.begin(), dom.end(), bar), end; it != end; ++it) {
        bars[std::stoi((*it)[1])] = std::stoi((*it)[2]);
    }
    EXPECT_EQ(bars, (std::map<int, int>{{1, 0}, {2, 1}, {3, 0}, {4, 0}, {5, 2}}));
    // The browser built no script element from the tag: it is text, which the
    // DOM serialises escaped again.
    EXPECT_EQ(dom.find("<script"), std::string::npos);
    EXPECT_NE(dom.find("&lt;script&gt;alert(1)&lt;/script&gt; - Northern Weather"), std::string::npos);
    EXPECT_NE(dom.find("<strong>&lt;script&gt;alert(1)&lt;/script&gt;</strong>"), std::string::npos);  // a favourite

    // A token one digit off opens nothing.
    std::string wrong = token_;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    ASSERT_EQ(RunBrowser(Browser({"--dump-dom", Url().substr(0, Url().size() - 32) + wrong}), dir_ / "404.html"), 0);
    const std::string missing = vorn::test::ReadFile(dir_ / "404.html");
    EXPECT_NE(missing.find("404 Not Found"), std::string::npos);
    EXPECT_EQ(missing.find("Your listening"), std::string::npos);
}

TEST_F(BrowserPagesTest, TheScreenshotShowsTheChart) {
    // VORN_KEEP_SCREENSHOT=FILE keeps the picture for a look at the page.
    const std::string png = std::getenv("VORN_KEEP_SCREENSHOT") != nullptr ? std::getenv("VORN_KEEP_SCREENSHOT")
                                                                             : dir_ / "page.png";
    ASSERT_EQ(RunBrowser(Browser({"--screenshot=" + png, "--window-size=900,1000", "--hide-scrollbars", Url()}),
                         dir_ / "out.txt"),
              0);
    DecodedImage image;
    std::string error;
    ASSERT_EQ(PngDecoder::Decode(png, image, error), PngDecoder::kOk) << error;
    ASSERT_EQ(image.width, 900);
    ASSERT_EQ(image.height, 1000);
    // The bars are solid runs of their colour (#2b5d8a) down a column, 44
    // columns each: 128 pixels tall for the two five-star ratings, 64 for the
    // one of two stars, none for the other values. Text in the same colour (the headings) never makes such
    // runs; dark pixels are the page's text.
    int tall = 0;
    int half = 0;
    int dark = 0;
    for (int x = 0; x < image.width; ++x) {
        int run = 0;
        int longest = 0;
        for (int y = 0; y < image.height; ++y) {
            const std::uint8_t* pixel = image.Row(y) + x * 4;
            const bool bar = pixel[2] == 0x2b && pixel[1] == 0x5d && pixel[0] == 0x8a;
            run = bar ? run + 1 : 0;
            longest = std::max(longest, run);
            dark += (pixel[2] < 0x60 && pixel[1] < 0x60 && pixel[0] < 0x60) ? 1 : 0;
        }
        tall += (longest >= 124 && longest <= 130) ? 1 : 0;
        half += (longest >= 60 && longest <= 66) ? 1 : 0;
    }
    EXPECT_GE(tall, 42) << "columns of the full bar";
    EXPECT_LE(tall, 46);
    EXPECT_GE(half, 42) << "columns of the half bar";
    EXPECT_LE(half, 46);
    EXPECT_GT(dark, 1000) << "no text drawn";
}

}  // namespace
}  // namespace vorn::station::test
