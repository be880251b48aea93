#pragma once

#include <QAccessible>
#include <QPainterPath>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QStringList>

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

    // ---- keyboard focus: the window moves it among its controls (Tab) and
    // hands the focused control the keys it does not take itself.
    // True when the key was taken. Window thread.
    virtual bool OnKey(int key, Qt::KeyboardModifiers modifiers);
    // The focus came to (true) or left (false) the control.
    virtual void OnFocus(bool /*focused*/) {}
    // The line the window draws around the control while it has the focus
    // (logical pixels); the hit area's bounding box unless set.
    QPainterPath FocusOutline() const;
    void SetFocusOutline(const QPainterPath& outline) { focusOutline_ = outline; }

    // ---- what assistive technologies (screen readers, through AT-SPI) are told.
    // Window thread, unless said otherwise.
    virtual QAccessible::Role AccessibleRole() const { return QAccessible::Client; }
    virtual QString AccessibleName() const { return accessibleName_; }
    void SetAccessibleName(const QString& name) { accessibleName_ = name; }
    virtual QString AccessibleDescription() const { return QString(); }
    // The actions a screen reader offers, by name; Space and Enter do the first.
    virtual QStringList AccessibleActions() const { return {}; }
    // Does the named action; false when the control has no such action now.
    virtual bool DoAccessibleAction(const QString& /*action*/) { return false; }
    // A control with a value (the stars): its range and current value.
    virtual bool HasAccessibleValue() const { return false; }
    virtual int AccessibleValue() const { return 0; }
    virtual int AccessibleMaximum() const { return 0; }
    // Sets the value as the listener would with the mouse; false when refused.
    virtual bool SetAccessibleValue(int /*value*/) { return false; }
    // Tells assistive technologies that the name, value or text changed. Any thread.
    void NotifyAccessible(QAccessible::Event event);

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
    QPainterPath focusOutline_;  // empty: the bounding box
    QString accessibleName_;
};

}  // namespace vorn
