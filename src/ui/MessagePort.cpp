#include "ui/MessagePort.h"

#include <QCoreApplication>

#include <memory>

#include "ui/WindowMessageEvent.h"

namespace vorn {

MessagePort::MessagePort(QObject* window)
    : windowThread_(std::this_thread::get_id()), window_(window) {}

void MessagePort::Detach() {
    std::lock_guard lock(mutex_);
    window_ = nullptr;
}

bool MessagePort::IsWindowThread() const {
    return std::this_thread::get_id() == windowThread_;
}

bool MessagePort::Post(unsigned message, MessageArgs args) {
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) {
        return false;
    }
    QCoreApplication::postEvent(window_, new WindowMessageEvent(message, std::move(args), nullptr));
    return true;
}

std::optional<std::int64_t> MessagePort::Send(unsigned message, MessageArgs args,
                                              std::uint32_t timeoutMs) {
    auto reply = std::make_shared<MessageReply>();
    if (IsWindowThread()) {
        QObject* window = nullptr;
        {
            std::lock_guard lock(mutex_);
            window = window_;
        }
        if (window == nullptr) {
            return std::nullopt;
        }
        // The window can only go away on this very thread, so it outlives the call.
        WindowMessageEvent event(message, std::move(args), reply);
        QCoreApplication::sendEvent(window, &event);
        return reply->Wait(0);
    }
    if (message == MSG_REDRAWCONTROL) {
        return Post(message, std::move(args)) ? std::optional<std::int64_t>(0) : std::nullopt;
    }
    {
        std::lock_guard lock(mutex_);
        if (window_ == nullptr) {
            return std::nullopt;
        }
        QCoreApplication::postEvent(window_, new WindowMessageEvent(message, std::move(args), reply));
    }
    return reply->Wait(timeoutMs);
}

}  // namespace vorn
