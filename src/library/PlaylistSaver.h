#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vorn {

// Writes the listener's library soon after it changes, on a thread of its own,
// so that a crash or a power cut costs at most the last moments. Changes that
// come in a burst are written together: the first write follows the first
// change of a burst after `delay`, and writes never follow each other closer
// than that, however many changes keep coming.
//
// `save` runs on the saver's thread and is never called with this class's lock
// held; a failed save (false) is not retried by itself but with the next change.
class PlaylistSaver {
public:
    static constexpr std::chrono::milliseconds kDefaultDelay{1000};

    explicit PlaylistSaver(std::function<bool()> save, std::chrono::milliseconds delay = kDefaultDelay);
    // Stops the thread; a change not written yet stays unwritten (see Stop).
    ~PlaylistSaver();
    PlaylistSaver(const PlaylistSaver&) = delete;
    PlaylistSaver& operator=(const PlaylistSaver&) = delete;

    // Starts the thread. Changes marked before are written one delay later.
    void Start();
    // Something that `save` writes has changed. Never blocks for long: callable
    // while holding any lock that `save` itself takes.
    void MarkChanged();
    // Ends the thread and waits for it, including a save under way; whatever
    // changed since is left to the owner's own final save. Never call it while
    // holding a lock that `save` takes.
    void Stop();

private:
    void Run();

    const std::function<bool()> save_;
    const std::chrono::milliseconds delay_;
    std::mutex mutex_;  // guards firstChange_ and stopping_
    std::condition_variable wake_;
    // When the oldest change not yet written was marked; empty when none is waiting.
    std::optional<std::chrono::steady_clock::time_point> firstChange_;
    bool stopping_ = false;
    std::thread thread_;  // joined by Stop
};

}  // namespace vorn
