#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "ui/WindowMessages.h"

class QObject;

namespace vorn {

// The thread-safe way into a window: posts and sends window messages to it from
// any thread. Controls and other threads hold it by shared_ptr, so it outlives
// the window; once the window has detached (in its destructor) every message is
// refused instead of reaching freed memory.
class MessagePort {
public:
    // Sending from another thread gives up after this long by default.
    static constexpr std::uint32_t kDefaultSendTimeoutMs = 10000;

    // Created by the window on its own thread, which becomes the window thread.
    explicit MessagePort(QObject* window);
    MessagePort(const MessagePort&) = delete;
    MessagePort& operator=(const MessagePort&) = delete;

    // Called by the window as it goes: later messages are refused.
    void Detach();

    bool IsWindowThread() const;

    // Queues the message for the window thread. False when the window is gone.
    bool Post(unsigned message, MessageArgs args);

    // On the window thread the message is handled at once. From another thread
    // it is queued and the caller waits at most `timeoutMs` for the result;
    // a repaint request (MSG_REDRAWCONTROL) is only posted and answers 0 at
    // once, so a thread that the window thread may wait for (one holding the
    // playlist's lock, the rating animation) can never deadlock the window.
    // Empty when the window is gone, dropped the message or did not answer in time.
    std::optional<std::int64_t> Send(unsigned message, MessageArgs args,
                                     std::uint32_t timeoutMs = kDefaultSendTimeoutMs);

private:
    const std::thread::id windowThread_;
    // Guards window_. Held while an event is queued for the window, so Detach
    // cannot complete while a post to the window is still under way. Qt's own
    // queue lock, taken inside, is never held while our code runs.
    mutable std::mutex mutex_;
    QObject* window_;
};

}  // namespace vorn
