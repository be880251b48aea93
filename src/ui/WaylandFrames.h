#pragma once

#include <functional>

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

    // Hides a shown window through `hide` (its base class's setVisible(false))
    // with its painting stopped and its last frame answered, then lets it
    // paint again for when it is shown. A window overrides setVisible with this
    // so that hiding it, closing it or destroying it cannot race Qt's Wayland
    // client. A hide asked for meanwhile (events run while it waits) hides at once.
    static void Hide(QWidget& window, const std::function<void()>& hide);
};

}  // namespace vorn
