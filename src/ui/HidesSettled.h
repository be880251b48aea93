#pragma once

#include "ui/WaylandFrames.h"

namespace vorn {

// A window that hides only once the compositor has answered the last frame it
// drew (WaylandFrames::Hide), so that hiding, closing or destroying it cannot
// race Qt's Wayland client. Base is the window's Qt class.
template <class Base>
class HidesSettled : public Base {
public:
    using Base::Base;

    void setVisible(bool visible) override {
        if (visible) {
            Base::setVisible(true);
        } else {
            WaylandFrames::Hide(*this, [this] { Base::setVisible(false); });
        }
    }
};

}  // namespace vorn
