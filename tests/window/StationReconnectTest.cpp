#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "foundation/Preferences.h"
#include "foundation/ServerConfig.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/window/WindowTestSupport.h"
#include "ui/MenuCommands.h"

namespace vorn {
namespace {

constexpr const char* kConnecting = "Connecting                         Connecting";
constexpr const char* kWelcome = "Welcome to Vorn. Please press the play button to begin.";

// How often the display showed the text.
long Shown(test::TestWindow& window, const std::string& text) {
    const auto texts = window.DisplayTexts();
    return std::count(texts.begin(), texts.end(), text);
}

class StationReconnectTest : public ::testing::Test {
protected:
    // The window, connected to the first station the way start-up connects it:
    // to the host the store names ("localhost" by default).
    void SetUp() override {
        window_ = fixture_.Open();
        ASSERT_NE(window_, nullptr);
        ASSERT_EQ(window_->ConnectToServer(ServerConfig::Host(), first_.Port()), 0);
    }

    // The listener presses OK in the options after the store was changed so.
    void PressOkAfter(const std::function<void()>& change) {
        window_->optionsDialog = [change] {
            change();
            return true;
        };
        window_->OnCommand(ID_PREFERENCES);
    }

    test::WindowFixture fixture_;
    test::PlayerStation first_;
    std::unique_ptr<test::TestWindow> window_;
};

TEST_F(StationReconnectTest, ANewStationHostReconnectsInTheBackgroundAndLaterRequestsGoThere) {
    test::PlayerStation second;
    window_->stationPort = second.Port();

    // A proxy change alone (left switched off) and an unchanged host: no reconnect.
    PressOkAfter([] {
        Preferences::Global().SetProxyServer("proxy.example");
        Preferences::Global().SetProxyPort(3128);
    });
    test::PumpUntil([] { return false; }, 300);
    EXPECT_EQ(Shown(*window_, kConnecting), 1);
    EXPECT_EQ(second.peer.Accepted(), 0);

    PressOkAfter([] { ServerConfig::SetHost("127.0.0.1"); });
    ASSERT_TRUE(test::PumpUntil([&] { return Shown(*window_, kWelcome) == 2; }, 15000))
        << "the reconnect shows the connect texts and ends welcomed";
    EXPECT_EQ(Shown(*window_, kConnecting), 2);
    ASSERT_FALSE(second.peer.Heads().empty());
    EXPECT_EQ(second.peer.Heads().front().rfind("GET / HTTP/1.0", 0), 0u) << "the key exchange, on the new station";

    const int firstAccepted = first_.peer.Accepted();
    window_->OnPlayButton(1);  // an empty library asks for recommendations
    ASSERT_TRUE(test::PumpUntil([&] { return !second.RequestedCounts().empty(); }, 15000));
    EXPECT_TRUE(first_.RequestedCounts().empty());
    EXPECT_EQ(first_.peer.Accepted(), firstAccepted);

    // The same host once more: nothing to do.
    PressOkAfter([] {});
    test::PumpUntil([] { return false; }, 300);
    EXPECT_EQ(Shown(*window_, kConnecting), 2);
}

TEST_F(StationReconnectTest, ClosingTheWindowEndsAReconnectToAStationThatNeverAnswers) {
    test::PlayerStation silent;
    silent.peer.SetSilent(true);
    window_->stationPort = silent.Port();
    window_->SetShutdownWait(300);
    PressOkAfter([] { ServerConfig::SetHost("127.0.0.1"); });
    ASSERT_TRUE(test::PumpUntil([&] { return silent.peer.Accepted() == 1; }, 5000));

    const auto start = std::chrono::steady_clock::now();
    window_.reset();  // the reconnect is waiting for an answer that never comes
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vorn
