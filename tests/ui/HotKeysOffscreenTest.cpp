#include "ui/HotKeys.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QByteArray>
#include <QCoreApplication>

#include "tests/ui/QtTestSupport.h"

namespace vorn {
namespace {

// Without an X server (Qt's offscreen platform, like Wayland) there are no
// global keys: registration holds nothing, and nothing breaks.
TEST(HotKeysOffscreenTest, WithoutX11NothingIsRegisteredAndNothingBreaks) {
    test::EnsureApplication();
    int calls = 0;
    {
        HotKeys keys([&](int) { ++calls; });
        EXPECT_EQ(keys.Register(), 0);
        for (int id = 0; id < HotKeys::kCount; ++id) EXPECT_FALSE(keys.IsRegistered(id));

        xcb_key_press_event_t press{};
        press.response_type = XCB_KEY_PRESS;
        press.detail = 26;
        press.state = XCB_MOD_MASK_1;
        EXPECT_FALSE(keys.nativeEventFilter("xcb_generic_event_t", &press, nullptr));
        keys.Unregister();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace vorn
