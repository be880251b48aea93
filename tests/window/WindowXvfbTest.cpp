#include <gtest/gtest.h>

#include <cstdlib>

#include "library/VornPlaylistItem.h"
#include "tests/ui/QtTestSupport.h"
#include "tests/ui/XvfbServer.h"
#include "tests/window/WindowTestSupport.h"
#include "ui/MediaGraph.h"

namespace vorn {
namespace {

// The whole binary talks to one private X server, started before Qt connects.
test::XvfbServer* server = nullptr;

class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        server = new test::XvfbServer();
        if (!server->Display().empty()) {
            ::setenv("DISPLAY", server->Display().c_str(), 1);
            ::unsetenv("QT_QPA_PLATFORM");
            ::unsetenv("WAYLAND_DISPLAY");
        }
    }
    void TearDown() override {
        delete server;
        server = nullptr;
    }
};

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

std::int32_t CurrentId(test::TestWindow& window) {
    return window.CurrentItem() != nullptr ? window.CurrentItem()->ItemId() : -1;
}

// Real key presses on a real X server reach the player through the global keys.
TEST(WindowXvfbTest, GlobalKeysDriveThePlayer) {
    ASSERT_FALSE(server->Display().empty()) << "Xvfb did not start";
    test::WindowFixture fixture;
    fixture.WriteLibrary(3, 4.0);
    auto window = fixture.Open();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(test::PumpUntil([&] { return window->isVisible(); }));

    // Alt+E: the next item, which starts playing.
    ASSERT_TRUE(server->Xdotool("key alt+e"));
    ASSERT_TRUE(test::PumpUntil([&] { return CurrentId(*window) == 1; }));
    ASSERT_TRUE(test::PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }));

    // Alt+3 rates it; the media key for the next track moves on.
    ASSERT_TRUE(server->Xdotool("key alt+3"));
    ASSERT_TRUE(test::PumpUntil([&] { return window->CurrentItem()->Rating() == 3; }));
    ASSERT_TRUE(server->Xdotool("key XF86AudioNext"));
    ASSERT_TRUE(test::PumpUntil([&] { return CurrentId(*window) == 2; }));

    // Alt+W pauses; the media play key plays again.
    ASSERT_TRUE(test::PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }));
    ASSERT_TRUE(server->Xdotool("key alt+w"));
    ASSERT_TRUE(test::PumpUntil([&] { return window->Graph()->State() == MediaGraph::kPaused; }));
    ASSERT_TRUE(server->Xdotool("key XF86AudioPlay"));
    ASSERT_TRUE(test::PumpUntil([&] { return window->Graph()->State() == MediaGraph::kRunning; }));
}

}  // namespace
}  // namespace vorn
