#pragma once

#include <QEvent>

#include <cstdint>
#include <memory>

#include "ui/MessageReply.h"
#include "ui/WindowMessages.h"

namespace vorn {

// A window message travelling through Qt's event queue to the window thread.
// A sent message carries the reply its sender waits for; an event that is
// destroyed unanswered (dropped with its window) abandons that reply, so the
// sender never waits for a window that is gone.
class WindowMessageEvent : public QEvent {
public:
    static QEvent::Type EventType();

    WindowMessageEvent(unsigned message, MessageArgs args, std::shared_ptr<MessageReply> reply);
    ~WindowMessageEvent() override;
    WindowMessageEvent(const WindowMessageEvent&) = delete;
    WindowMessageEvent& operator=(const WindowMessageEvent&) = delete;

    unsigned Message() const { return message_; }
    const MessageArgs& Args() const { return args_; }
    void Answer(std::int64_t result);

private:
    unsigned message_;
    MessageArgs args_;
    std::shared_ptr<MessageReply> reply_;
};

}  // namespace vorn
