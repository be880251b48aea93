#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/ServerConstants.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"
#include "ui/CSkinImage.h"
#include "ui/CVornUIDlgDirectShow.h"

namespace vorn::test {

// The real main window with its ways out to the desktop recorded instead of taken.
class TestWindow : public CVornUIDlgDirectShow {
public:
    explicit TestWindow(PicturePreload* preloaded = nullptr);
    ~TestWindow() override;

    void OpenUrl(const std::string& url) override { opened.push_back(url); }
    int ShowMessage(int icon, const std::string& caption, const std::string& text, int buttons) override;
    bool RunOptionsDialog() override;
    void RunAboutBox() override { ++aboutBoxes; }
    std::int32_t StationPort() const override { return stationPort; }
    // Records every first line shown, then shows it.
    bool SetDisplayText(const std::string& line1, const std::string& line2 = std::string()) override;
    std::vector<std::string> DisplayTexts();

    struct Message {
        int icon;
        std::string caption;
        std::string text;
        int buttons;
    };
    std::vector<std::string> opened;
    std::vector<Message> messages;
    int answer = 0;  // the button every message box answers with
    // Called for each Preferences command; its result is the dialog's OK.
    std::function<bool()> optionsDialog;
    int optionsShown = 0;
    int aboutBoxes = 0;
    // Where a station named in the preferences is reached.
    std::int32_t stationPort = SERVER_PORT;

private:
    std::mutex textsMutex_;  // guards texts_ (the player's threads and the window thread)
    std::vector<std::string> texts_;
};

// A test folder set up as an installed, first-started program: the skin linked
// as "resources/", the store pointing at a media folder inside, the log open.
class WindowFixture {
public:
    WindowFixture();
    ~WindowFixture();

    // Writes "pl.txt" with `count` unrated items whose files are real MP3 tones
    // of `seconds` each (ids 1..count, "song<id>.mp3").
    void WriteLibrary(int count, double seconds);
    // Builds, shows and initialises the window (bounded); null on failure.
    std::unique_ptr<TestWindow> Open(PicturePreload* preloaded = nullptr);
    std::string Media() const { return media_; }

    IsolatedHome home;
    ScopedLog log{0};

private:
    std::string media_;
};

}  // namespace vorn::test
