#include "ui/HotKeys.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QApplication>

#include <cstdlib>
#include <memory>
#include <vector>

#include "tests/ui/QtTestSupport.h"
#include "tests/ui/XvfbServer.h"
#include "ui/X11Keyboard.h"

namespace vorn {
namespace {

// One private X server and one QApplication on it for the whole process; the
// application goes before the server, so Qt never sees its display vanish.
class XServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        server = std::make_unique<test::XvfbServer>();
        ASSERT_FALSE(server->Display().empty()) << "Xvfb did not start";
        ::setenv("DISPLAY", server->Display().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "hotkeys-tests";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        app.reset();
        server.reset();
    }
    static inline std::unique_ptr<test::XvfbServer> server;
    static inline std::unique_ptr<QApplication> app;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new XServerEnvironment);

class HotKeysTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(XServerEnvironment::app, nullptr); }

    void Press(const std::string& keys) { ASSERT_TRUE(XServerEnvironment::server->Xdotool("key " + keys)); }
    // Waits for `count` calls in all (bounded).
    bool WaitForCalls(std::size_t count) {
        return test::PumpUntil([&] { return ids_.size() >= count; }, 5000);
    }
    // Lets key events that should not arrive have their chance to.
    void Settle() { test::PumpUntil([] { return false; }, 400); }

    std::vector<int> ids_;
    std::unique_ptr<HotKeys> keys_ = std::make_unique<HotKeys>([this](int id) { ids_.push_back(id); });
};

// A second X client, to hold keys before we ask for them.
class OtherClient {
public:
    OtherClient() : connection_(xcb_connect(XServerEnvironment::server->Display().c_str(), nullptr)) {}
    ~OtherClient() { xcb_disconnect(connection_); }
    bool Grab(std::uint32_t keysym, std::uint16_t modifiers) {
        const std::uint8_t keycode = X11Keyboard::KeycodeFor(connection_, keysym);
        xcb_generic_error_t* error = xcb_request_check(
            connection_, xcb_grab_key_checked(connection_, 1, X11Keyboard::RootWindow(connection_), modifiers,
                                              keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return keycode != 0 && error == nullptr;
    }

private:
    xcb_connection_t* connection_;
};

TEST_F(HotKeysTest, EveryKeyCallsTheHandlerWithItsId) {
    ASSERT_EQ(keys_->Register(), HotKeys::kCount);
    Press("alt+e XF86AudioNext alt+w XF86AudioPlay alt+q XF86AudioPrev alt+1 alt+2 alt+3 alt+4 alt+5");
    ASSERT_TRUE(WaitForCalls(11));
    EXPECT_EQ(ids_, (std::vector<int>{2, 3, 0, 1, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(HotKeysTest, OtherKeysAndOtherModifiersPassThrough) {
    ASSERT_EQ(keys_->Register(), HotKeys::kCount);
    Press("e alt+r ctrl+alt+e shift+XF86AudioPlay");
    Press("alt+e");  // the marker: everything before it has been delivered by now
    ASSERT_TRUE(WaitForCalls(1));
    Settle();
    EXPECT_EQ(ids_, std::vector<int>{2});
}

TEST_F(HotKeysTest, NumLockAndCapsLockDoNotChangeAKey) {
    ASSERT_EQ(keys_->Register(), HotKeys::kCount);
    Press("Num_Lock alt+e Num_Lock");
    Press("Caps_Lock alt+e Caps_Lock");
    Press("Num_Lock Caps_Lock XF86AudioPrev Caps_Lock Num_Lock");
    ASSERT_TRUE(WaitForCalls(3));
    EXPECT_EQ(ids_, (std::vector<int>{2, 2, 5}));
}

TEST_F(HotKeysTest, UnregisteredKeysAreSilentUntilRegisteredAgain) {
    ASSERT_EQ(keys_->Register(), HotKeys::kCount);
    keys_->Unregister();
    EXPECT_FALSE(keys_->IsRegistered(2));
    Press("alt+e XF86AudioNext");
    ASSERT_EQ(keys_->Register(), HotKeys::kCount);
    EXPECT_EQ(keys_->Register(), HotKeys::kCount) << "registering twice changes nothing";
    Press("alt+q");
    ASSERT_TRUE(WaitForCalls(1));
    Settle();
    EXPECT_EQ(ids_, std::vector<int>{4});
}

TEST_F(HotKeysTest, AKeyHeldByAnotherClientIsSkippedSilently) {
    {
        OtherClient other;
        ASSERT_TRUE(other.Grab(XK_e, XCB_MOD_MASK_1));
        EXPECT_EQ(keys_->Register(), HotKeys::kCount - 1);
        EXPECT_FALSE(keys_->IsRegistered(2));
        EXPECT_TRUE(keys_->IsRegistered(0));
        EXPECT_TRUE(keys_->IsRegistered(10));
        Press("alt+e alt+w");
        ASSERT_TRUE(WaitForCalls(1));
        Settle();
        EXPECT_EQ(ids_, std::vector<int>{0});
    }
    // The other client has gone; the key is free now.
    EXPECT_EQ(keys_->Register(), HotKeys::kCount);
    Press("alt+e");
    ASSERT_TRUE(WaitForCalls(2));
    EXPECT_EQ(ids_, (std::vector<int>{0, 2}));
}

TEST_F(HotKeysTest, DestroyingReleasesEveryKey) {
    ASSERT_EQ(keys_->Register(), HotKeys::kCount);
    OtherClient other;
    EXPECT_FALSE(other.Grab(XK_e, XCB_MOD_MASK_1)) << "held by us";
    keys_.reset();
    EXPECT_TRUE(other.Grab(XK_e, XCB_MOD_MASK_1));
    EXPECT_TRUE(other.Grab(XK_e, XCB_MOD_MASK_1 | XCB_MOD_MASK_LOCK));
    EXPECT_TRUE(other.Grab(XF86XK_AudioNext, 0));
}

}  // namespace
}  // namespace vorn
