#pragma once

#include <QRect>
#include <QRegion>

#include <climits>
#include <memory>
#include <string>

class QPainter;

namespace vorn {

class CSkinDialog;
class CSkinImage;
class ControlCallback;
class MessagePort;

// Mouse events as the skinned window hands them to its controls.
inline constexpr int MOUSE_LBUTTONDOWN = 0;  // also the press of a double click
inline constexpr int MOUSE_LBUTTONUP = 3;
inline constexpr int MOUSE_MOVE = 6;
inline constexpr int MOUSE_SETCURSOR = 8;  // carries no position

// Key flags that come with a mouse event.
inline constexpr unsigned MK_LBUTTON = 0x0001;
inline constexpr unsigned MK_RBUTTON = 0x0002;
inline constexpr unsigned MK_SHIFT = 0x0004;
inline constexpr unsigned MK_CONTROL = 0x0008;
inline constexpr unsigned MK_MBUTTON = 0x0010;

// The position passed with MOUSE_SETCURSOR: outside every area.
inline constexpr int kNoPosition = INT_MIN;

// A windowless control of a skinned window: a named hit area that paints
// itself, takes the mouse and the 200 ms tick on the window thread, and asks
// for its own repaint by name from any thread.
class CSkinControl {
public:
    // Copies `area` (window client coordinates) as the hit area. The owner must
    // outlive the control or detach it by going first (see ~CSkinDialog).
    CSkinControl(std::string name, CSkinDialog* owner, const QRegion& area,
                 ControlCallback* callback);
    virtual ~CSkinControl();
    CSkinControl(const CSkinControl&) = delete;
    CSkinControl& operator=(const CSkinControl&) = delete;

    virtual bool Draw(QPainter& dc) = 0;
    // The part of the window (client coordinates) that the last Draw changed;
    // a repaint request shows only that. All of the control unless it knows better.
    virtual QRegion ChangedByLastDraw() const { return BoundingBox(); }
    virtual bool Tick();
    // Whether Tick has anything to do now. A control that does not know says
    // yes; while no control of a window says yes, the window's tick rests.
    virtual bool WantsTicks() const { return true; }
    // True when the event was consumed.
    virtual bool OnMouse(int event, int x, int y, unsigned keyFlags) = 0;
    virtual std::string GetToolTipText() const;

    const std::string& Name() const { return name_; }
    const QRegion& Area() const { return area_; }
    QRect BoundingBox() const { return area_.boundingRect(); }

    // Asks the owner to repaint this control: at once on the window thread,
    // posted from any other thread.
    void RequestRedraw();

protected:
    CSkinDialog* Owner() const { return owner_; }
    // Whether the event's position lies in the hit area; never for MOUSE_SETCURSOR.
    bool HitTest(int event, int x, int y) const;
    bool CallBack(int code) const;
    // Alpha-blends `image` onto `dc` over `box`, at the same place in both.
    static bool BlendImage(QPainter& dc, const CSkinImage* image, const QRect& box);

private:
    friend class CSkinDialog;  // detaches the control when it goes first

    std::string name_;
    CSkinDialog* owner_;  // window thread only
    std::shared_ptr<MessagePort> port_;
    QRegion area_;
    ControlCallback* callback_;
};

}  // namespace vorn
