// The track notices against a stand-in notification server on a private
// session bus (tests/app/stubs/desktop_stub.py), pressed the way a listener
// presses their stars, sometimes after the notice has made way for another.
#include "desktop/TrackNotifier.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>

#include <functional>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "tests/app/ChildProcess.h"
#include "tests/desktop/PrivateSessionBus.h"
#include "tests/support/ScopedLog.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

bool PumpUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// The value of a number field of the stub's JSON record ("id": 3).
int Field(const std::string& record, const std::string& name) {
    const std::size_t at = record.find("\"" + name + "\": ");
    return at == std::string::npos ? -1 : std::stoi(record.substr(at + name.size() + 4));
}

class TrackNotifierTest : public ::testing::Test {
protected:
    TrackNotifierTest() {
        stub_ = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", std::string(VORN_TEST_STUBS) + "/desktop_stub.py",
                                     home_ / "records.txt", "notifications"},
            std::vector<std::string>{bus_.Environment()}, home_ / "stub.log");
    }
    ~TrackNotifierTest() override {
        notifier_.reset();
        QDBusConnection::disconnectFromBus("notifier");
        QDBusConnection::disconnectFromBus("listener");
        if (HasFailure()) std::cerr << "---- stub\n" << test::ReadFile(home_ / "stub.log") << log_.Text();
    }

    // The notifier, once the server has told it that it takes actions.
    void StartNotifier() {
        ASSERT_TRUE(PumpUntil([&] { return Records("ready").size() == 1; }, 10000)) << test::ReadFile(home_ / "stub.log");
        notifier_ = std::make_unique<TrackNotifier>(
            QDBusConnection::connectToBus(bus_.Address(), "notifier"),
            [this](std::int32_t itemId, std::int32_t stars) { rated_.emplace_back(itemId, stars); });
        ASSERT_TRUE(notifier_->Start());
        ASSERT_TRUE(PumpUntil([&] { return Records("GetCapabilities").size() == 1; }));
        PumpUntil([] { return false; }, 200);  // its answer reaches the notifier
    }
    std::vector<std::string> Records(const std::string& call) const {
        std::vector<std::string> found;
        std::istringstream lines(test::ReadFile(home_ / "records.txt"));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\"call\": \"" + call + "\"") != std::string::npos) found.push_back(line);
        }
        return found;
    }
    // The notice's `count`th Notify record, once the notifier has had its id back.
    std::string Shown(std::size_t count) {
        EXPECT_TRUE(PumpUntil([&] { return Records("Notify").size() >= count; })) << "notice " << count;
        PumpUntil([] { return false; }, 200);
        const std::vector<std::string> notices = Records("Notify");
        return notices.size() >= count ? notices[count - 1] : std::string();
    }
    // The server's ActionInvoked for that notice (or its NotificationClosed,
    // as when the listener dismisses it), then time for the notifier to act.
    void Signal(const char* method, const QList<QVariant>& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(TrackNotifier::kService, "/org/vorn/TestStub",
                                                           "org.vorn.TestStub", method);
        call.setArguments(arguments);
        QDBusPendingCall pending = QDBusConnection::connectToBus(bus_.Address(), "listener").asyncCall(call, 5000);
        EXPECT_TRUE(PumpUntil([&] { return pending.isFinished(); })) << method;
        PumpUntil([] { return false; }, 300);
    }
    void Press(int notice, const QString& star) { Signal("InvokeAction", {uint(notice), star}); }

    test::IsolatedHome home_;
    test::ScopedLog log_{0};
    test::PrivateSessionBus bus_{home_.Path()};
    std::unique_ptr<test::ChildProcess> stub_;
    std::unique_ptr<TrackNotifier> notifier_;
    std::vector<std::pair<std::int32_t, std::int32_t>> rated_;
};

TEST_F(TrackNotifierTest, AStarRatesOnlyTheTrackItsNoticeShowsWhileThatNoticeIsShown) {
    ASSERT_NO_FATAL_FAILURE(StartNotifier());
    TrackInfo pictured{11, 0, "First", "Artist One"};
    pictured.artPath = "/m/UnRated/Artist One - First [11].jpg";
    notifier_->TrackStarted(pictured);
    const std::string first = Shown(1);
    EXPECT_NE(first.find("\"actions\": [\"1\""), std::string::npos) << first;
    EXPECT_NE(first.find("\"image-path\": \"file:///m/UnRated/Artist%20One%20-%20First%20[11].jpg\""),
              std::string::npos)
        << first;

    // The next track: the old notice goes and a new one, with an id of its own, shows.
    notifier_->TrackStarted(TrackInfo{22, 0, "Second", "Artist Two"});
    const std::string second = Shown(2);
    EXPECT_EQ(Records("CloseNotification").size(), 1u);
    EXPECT_EQ(Field(Records("CloseNotification").empty() ? "" : Records("CloseNotification")[0], "id"),
              Field(first, "id"));
    EXPECT_NE(Field(second, "id"), Field(first, "id"));
    EXPECT_NE(second.find("\"summary\": \"Second\""), std::string::npos) << second;
    EXPECT_EQ(second.find("image-path"), std::string::npos) << second;  // no picture, no hint

    // One star pressed on the first notice reaches the program only now: it
    // rates nothing, least of all the second track.
    Press(Field(first, "id"), "1");
    EXPECT_TRUE(rated_.empty());
    EXPECT_TRUE(log_.Contains("TrackNotifier : Rating from notice " + std::to_string(Field(first, "id")) +
                              " ignored: that notice was replaced or closed"));
    // Another program's notice with the same keys is none of ours: not even a log line.
    Press(Field(second, "id") + 100, "4");
    EXPECT_TRUE(rated_.empty());
    EXPECT_FALSE(log_.Contains("Rating from notice " + std::to_string(Field(second, "id") + 100)));

    Press(Field(second, "id"), "3");
    EXPECT_EQ(rated_, (std::vector<std::pair<std::int32_t, std::int32_t>>{{22, 3}}));

    // The end of the second track asks on a notice of its own; a press on it rates.
    notifier_->RatingWanted(TrackInfo{22, 0, "Second", "Artist Two"});
    const std::string asking = Shown(3);
    EXPECT_NE(asking.find(TrackNotifier::kRateText), std::string::npos) << asking;
    EXPECT_EQ(Field(asking, "timeout"), 0);
    Press(Field(asking, "id"), "5");
    EXPECT_EQ(rated_.back(), (std::pair<std::int32_t, std::int32_t>{22, 5}));
}

TEST_F(TrackNotifierTest, ANoticeTheListenerDismissedRatesNothing) {
    ASSERT_NO_FATAL_FAILURE(StartNotifier());
    notifier_->TrackStarted(TrackInfo{11, 0, "First", "Artist One"});
    const int id = Field(Shown(1), "id");
    Signal("Dismiss", {uint(id)});
    Press(id, "2");
    EXPECT_TRUE(rated_.empty());
    EXPECT_TRUE(log_.Contains("TrackNotifier : Rating from notice " + std::to_string(id) + " ignored"));

    // The next notice has nothing of the dismissed one to close.
    notifier_->TrackStarted(TrackInfo{22, 0, "Second", "Artist Two"});
    Press(Field(Shown(2), "id"), "2");
    EXPECT_EQ(rated_, (std::vector<std::pair<std::int32_t, std::int32_t>>{{22, 2}}));
    EXPECT_TRUE(Records("CloseNotification").empty());
}

}  // namespace
}  // namespace vorn
