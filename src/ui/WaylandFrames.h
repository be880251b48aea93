#pragma once

class QWidget;

namespace vorn {

// Qt's Wayland client (6.4) answers a surface's frame callback on a thread of
// its own and destroys the callback there without a lock, while hiding or
// destroying the window destroys the same callback on the window thread. When
// the two meet, the program aborts in the Wayland library or reads the freed
// window. Settle waits, briefly and only on Wayland, until the frame the window
// last drew has been answered, so that no answer is in flight when its surface
// goes. The window must not paint meanwhile (its updates disabled): each new
// frame asks for another answer.
class WaylandFrames {
public:
    // How long one round waits for the compositor's answer. A compositor that
    // shows the window answers within a frame or two; one that has stopped
    // drawing it (minimised, occluded) may never answer, and then nothing is
    // in flight either.
    static constexpr int kRoundMs = 100;

    static void Settle(QWidget& window);
};

}  // namespace vorn
