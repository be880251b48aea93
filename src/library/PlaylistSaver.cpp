#include "library/PlaylistSaver.h"

#include <utility>

namespace vorn {

PlaylistSaver::PlaylistSaver(std::function<bool()> save, std::chrono::milliseconds delay)
    : save_(std::move(save)), delay_(delay) {}

PlaylistSaver::~PlaylistSaver() { Stop(); }

void PlaylistSaver::Start() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable() && !stopping_) {
        thread_ = std::thread([this] { Run(); });
    }
}

void PlaylistSaver::MarkChanged() {
    std::lock_guard lock(mutex_);
    if (!firstChange_) {
        firstChange_ = std::chrono::steady_clock::now();
        wake_.notify_all();
    }
}

void PlaylistSaver::Stop() {
    std::thread running;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        running.swap(thread_);
        wake_.notify_all();
    }
    if (running.joinable()) {
        running.join();
    }
}

void PlaylistSaver::Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!firstChange_) {
            wake_.wait(lock, [this] { return stopping_ || firstChange_.has_value(); });
            continue;
        }
        // Changes marked meanwhile join this write; one marked while it runs
        // starts the next burst, so writes are at least one delay apart.
        const auto due = *firstChange_ + delay_;
        if (wake_.wait_until(lock, due, [this] { return stopping_; })) {
            break;
        }
        firstChange_.reset();
        lock.unlock();
        save_();  // a failure is logged by the save; the next change tries again
        lock.lock();
    }
}

}  // namespace vorn
