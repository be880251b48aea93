#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/app/ChildProcess.h"
#include "tests/app/VornDesktop.h"

namespace vorn::test {

inline constexpr int kProtocolPort = 8080;  // fixed in the client
// Window-relative points of the skin.
inline constexpr int kPlayX = 72, kPlayY = 66;
inline constexpr int kFirstStarX = 236, kFourthStarX = 332, kFourthStarY = 94;
inline constexpr int kMenuX = 255, kMenuY = 100;
inline constexpr int kStarsX = 220, kStarsY = 85, kStarsWidth = 160, kStarsHeight = 18;

inline constexpr const char* kMainTitle = "Vorn Custom Radio";
inline constexpr const char* kNewMedia = "INFO : New Media Set : ";
inline constexpr const char* kDisplay = "INFO : Display : ";
inline constexpr const char* kDownloaded = "INFO : File Downloaded : ";
inline constexpr const char* kStartLine = "*****SEVERE****** : Initializing Vorn Build : ";
inline constexpr const char* kWelcome = "Welcome to Vorn. Please press the play button to begin.";

// True when nothing listens on address:port (binding it tells).
bool PortFree(int port, const std::string& address = "127.0.0.1");
bool Answers(int port, const std::string& address = "127.0.0.1");
bool Contains(const std::vector<std::string>& lines, const std::string& wanted);
std::string FileName(const std::string& path);

// The real program against the real station on this machine, on a private
// desktop (see VornDesktop), with a demo library of short tracks made first.
// A failing test prints the program's log and output and the station's log,
// and leaves a screenshot of the moment of its first failure.
class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The station on the protocol port of `address` with the demo library; media
    // on any free port, no mirror. Its data lives in the folder `data` of the home.
    std::unique_ptr<ChildProcess> StartStationAt(const std::string& address, const std::string& data,
                                                 const std::vector<std::string>& extra = {});
    // The station of the test on 127.0.0.1 (skips when the port was taken meanwhile).
    void StartStation(const std::vector<std::string>& extra = {});
    // The program; it lives until after TearDown, so a failure's screenshot shows it.
    // `environment` changes its environment further (as ChildProcess takes it).
    ChildProcess& StartVorn(const std::vector<std::string>& environment = {});
    // The main window once the program has connected (its welcome text is shown).
    std::string ConnectedWindow();
    // The connected window with its first track playing: play pressed and a
    // track set. Empty (with a failure) when it did not get there; `listener` gets
    // the registered user id.
    std::string StartedPlaying(int& listener);
    // Opens the window's context menu and types `keys` into it.
    void UseMenu(const std::string& window, const std::string& keys);
    // Exit from the context menu. The program must end by itself, successfully.
    void ExitFromMenu(ChildProcess& program, const std::string& window);
    // The ratings the station holds for a listener: item id and value.
    std::vector<std::pair<int, int>> StationRatings(int listener);
    // The same once the station holds at least `count` of them, or after timeoutMs.
    std::vector<std::pair<int, int>> WaitForStationRatings(int listener, std::size_t count, int timeoutMs);

    // The number and length of the demo tracks, set before SetUp.
    int trackCount_ = 4;
    int trackSeconds_ = 4;
    VornDesktop desktop_;
    std::unique_ptr<ChildProcess> station_;
    std::unique_ptr<ChildProcess> vorn_;

private:
    // Saves the screen when the first check of a test fails, while the
    // program still shows what went wrong.
    struct ScreenshotOnFailure : ::testing::EmptyTestEventListener {
        explicit ScreenshotOnFailure(const VornDesktop& desktop) : desktop(desktop) {}
        void OnTestPartResult(const ::testing::TestPartResult& result) override;
        const VornDesktop& desktop;
        std::string file;  // set before the test runs: the test's name is not to be asked for here
        std::string path;
    };
    ScreenshotOnFailure screenshots_{desktop_};
};

}  // namespace vorn::test
