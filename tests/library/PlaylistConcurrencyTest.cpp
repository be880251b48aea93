#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "library/VornPlaylist.h"
#include "tests/library/LibraryTestSupport.h"
#include "tests/support/MediaHostStub.h"

namespace vorn {
namespace {

using test::MakeRecommendation;

// A listener that, like the player, moves on from its download threads.
class BusyListener : public test::RecordingListener {
public:
    void OnItemDownloaded() override {
        RecordingListener::OnItemDownloaded();
        if (playlist != nullptr) playlist->NextItem();  // re-entrant: the lock is held here
    }
    VornPlaylist* playlist = nullptr;
};

// Downloads finish, fail and report progress while another thread hands items
// out, removes them and finally destroys the playlist with downloads running.
TEST(PlaylistConcurrencyTest, DownloadsFinishingWhileTheListenerWorksNeverDeadlock) {
    test::IsolatedHome home;
    test::MediaHostStub host(20 * 1024);
    host.SetBlockDelay(1);
    BusyListener listener;
    const std::string media = home / "media/";
    auto playlist = std::make_unique<VornPlaylist>(media, &listener);
    listener.playlist = playlist.get();

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (int id = 1; id <= 40 && !stop; ++id) {
            const std::string path = id % 7 == 0 ? "/missing/" : "/media/";
            auto rec = MakeRecommendation(id, host.Url(path + std::to_string(id) + ".mp3"));
            playlist->AddRecommendation(rec);
            if (id % 9 == 0) {
                auto bad = MakeRecommendation(1000 + id, "https://example.com/x.mp3");
                playlist->AddRecommendation(bad);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::vector<std::unique_ptr<VornPlaylistItem>> removed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        if (VornPlaylistItem* item = playlist->NextItem(); item != nullptr) {
            item->SetRating(1 + item->ItemId() % 5);
            if (item->ItemId() % 3 == 0) removed.push_back(playlist->RemoveItem(item));
        }
        playlist->PreviousItem();
        playlist->UnplayedCount(false);
        std::this_thread::sleep_for(std::chrono::microseconds(500));  // a busy listener, not a spinning one
    }
    stop = true;
    feeder.join();
    const int downloadedBeforeEnd = listener.Downloaded();
    const auto start = std::chrono::steady_clock::now();
    listener.playlist = nullptr;
    playlist.reset();  // stops whatever still runs
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_GT(downloadedBeforeEnd, 0);
    EXPECT_FALSE(listener.failedIds.empty());
}

}  // namespace
}  // namespace vorn
