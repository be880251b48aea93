#include "ui/WindowMessageEvent.h"

namespace vorn {

QEvent::Type WindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

WindowMessageEvent::WindowMessageEvent(unsigned message, MessageArgs args,
                                       std::shared_ptr<MessageReply> reply)
    : QEvent(EventType()), message_(message), args_(std::move(args)), reply_(std::move(reply)) {}

WindowMessageEvent::~WindowMessageEvent() {
    if (reply_) {
        reply_->Abandon();
    }
}

void WindowMessageEvent::Answer(std::int64_t result) {
    if (reply_) {
        reply_->Complete(result);
        reply_.reset();
    }
}

}  // namespace vorn
