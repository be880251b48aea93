#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "player/VornPlayer.h"
#include "tests/server/StationPeer.h"
#include "tests/support/MediaHostStub.h"

namespace vorn::test {

// A thread that stands in for the window thread: it runs posted work in order.
// Run() hands work over and waits (bounded) until it has run.
class TestUiThread : public UiThread {
public:
    TestUiThread();
    ~TestUiThread() override;
    void Post(std::function<void()> work) override;
    // Runs the work on the UI thread and waits for it; false after 20 s.
    bool Run(const std::function<void()>& work);
    bool IsUiThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    std::mutex mutex_;  // guards queue_ and stopping_
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

// The player with a user interface that records what it is asked to do.
class TestPlayer : public VornPlayer {
public:
    explicit TestPlayer(TestUiThread& ui) : VornPlayer(ui), ui_(ui) {}
    ~TestPlayer() override { Shutdown(); }

    bool StartPlayback() override;
    bool PausePlayback() override;
    bool SetMedia(VornPlaylistItem* item) override;
    bool SetDisplayText(const std::string& line1, const std::string& line2) override;
    bool AskForRating() override;
    void OnConnectionChanged(bool online) override;

    // Files with these names fail to load.
    void Break(const std::string& fileName);

    std::vector<std::string> Texts();
    bool ShowedText(const std::string& text);
    int Starts();
    int Pauses();
    int Asks();
    std::string LoadedFile();  // full path of the media set last ("" for none)
    // What OnConnectionChanged said, in order: "online" or "offline".
    std::vector<std::string> ConnectionChanges();
    // Waits (bounded) until the condition holds.
    bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 15000);

    // The window-thread checks: these calls must arrive there.
    int callsOffUiThread = 0;

private:
    TestUiThread& ui_;
    std::mutex mutex_;  // guards the records below
    std::vector<std::string> texts_;
    std::set<std::string> broken_;
    int starts_ = 0;
    int pauses_ = 0;
    int asks_ = 0;
    std::string loaded_;
    std::vector<std::string> connectionChanges_;
};

// A station for the player: registration gives user 42; recommendations point at
// the media host with fresh item ids (or the ids queued with Offer); ratings are
// recorded.
class PlayerStation {
public:
    PlayerStation();
    std::uint16_t Port() const { return peer.Port(); }
    // The next recommendations use these ids first.
    void Offer(std::vector<std::int32_t> ids);
    void FailDownloadsOf(std::int32_t id);
    // Every reply carries this many recommendations beyond the count asked for.
    void SetExtra(std::int32_t extra);
    // Every recommendation from now on also carries this detail (in place of
    // its own of that name), its value made from the item id.
    void AddDetail(std::string name, std::function<std::string(std::int32_t id)> value);
    // The next `count` recommendation requests get a reply of the wrong type.
    void RefuseRecommendations(int count);
    std::map<std::int32_t, std::int32_t> Ratings();
    std::vector<std::int32_t> RequestedCounts();
    int Registrations();

private:
    std::string Answer(const std::string& xml);

    std::mutex mutex_;  // guards everything below
    std::int32_t nextId_ = 100;
    std::deque<std::int32_t> offered_;
    std::set<std::int32_t> failing_;
    std::int32_t extra_ = 0;
    int refusals_ = 0;
    std::vector<std::pair<std::string, std::function<std::string(std::int32_t)>>> details_;
    std::map<std::int32_t, std::int32_t> ratings_;
    std::vector<std::int32_t> counts_;
    int registrations_ = 0;

public:
    // Last, so that they stop serving before the records above go.
    MediaHostStub media{8000};
    StationPeer peer;
};

}  // namespace vorn::test
