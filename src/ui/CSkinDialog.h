#pragma once

#include <QAccessible>
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRegion>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/CToolTipDialog.h"
#include "ui/HidesSettled.h"
#include "ui/MessagePort.h"
#include "ui/WindowMessages.h"

class QPainter;

namespace vorn {

class CSkinControl;
class CSkinImage;
class SkinWindowAccessible;

// A frameless window painted from a full-window PNG background with per-pixel
// alpha and shaped by the background's fully opaque pixels (on X11 an X shape;
// on Wayland a translucent surface whose input region is that shape). It hosts windowless
// controls in three layers (layer 0 painted first), paints them, hands them the
// mouse and the 200 ms tick, repaints one control on request by its name, and
// lets the user drag the window by any point that no control takes.
//
// Window messages: PostMessage/SendMessage reach HandleMessage on the window
// thread from any thread (see MessagePort); derived windows extend HandleMessage
// and TimerTick.
class CSkinDialog : public HidesSettled<CToolTipDialog> {
public:
    static constexpr int kSkinWidth = 430;
    static constexpr int kSkinHeight = 130;
    static constexpr int kLayerCount = 3;

    enum class DragMode { None, System, FollowMouse };

    // Must be created on the window thread. Starts TIMER_CONTROL_TICK, which
    // stops again at the first tick that no control needs (see WantsTicks) and
    // restarts when a control asks for it (ControlWantsTicks): an idle or
    // playing window does not wake five times a second for nothing.
    explicit CSkinDialog(QWidget* parent = nullptr);
    ~CSkinDialog() override;

    // The background is not owned and must outlive the window (or be replaced).
    void SetBackground(const CSkinImage* image);
    const CSkinImage* Background() const { return background_; }

    void SetDraggable(bool draggable) { draggable_ = draggable; }
    bool IsDraggable() const { return draggable_; }

    // Appends a control (not owned) to layer 0, 1 or 2. Returns false for any
    // other layer.
    bool AddControl(CSkinControl* control, int layer);
    // The controls of a layer in painting order; empty for a layer that does not exist.
    const std::vector<CSkinControl*>& Layer(int layer) const;

    // Repaints the first control called `name`, searching layer 0, 1, 2 in turn.
    // Once a control has been drawn (its Draw answered true), each later layer
    // is not searched: its first control is drawn again on top. The window then
    // shows again what those draws changed (ChangedByLastDraw). Result 0.
    int RedrawControl(const std::string& name);

    // Draws the background (always 430 x 130 pixels, whatever its size), then
    // every control, layer by layer.
    void PaintAll(QPainter& dc);

    // The device pixel ratio skin pictures are loaded for: the finest of the
    // screens', so the window is sharp wherever it is moved (1 without screens).
    static double SkinPixelRatio();

    // The window shape, in logical pixels: those under whose centre the
    // background is fully opaque, within the smaller of the background's
    // logical size and `clientSize`, as one rectangle per run of opaque pixels
    // in a row (a run reaching the row's end ends at that width).
    static QRegion ShapeFromImage(const CSkinImage& image, const QSize& clientSize);
    // Sets ShapeFromImage(background, client size) as the window's mask.
    void ComputeWindowShape();

    // Called for every window timer; TIMER_CONTROL_TICK ticks every control of
    // every layer in order.
    virtual void TimerTick(int timerId);
    // A control needs the tick from now on (a button pressed): starts
    // TIMER_CONTROL_TICK unless it runs; a running tick keeps its rhythm.
    void ControlWantsTicks();

    // Window timers under the program's own ids; setting an id again restarts it.
    void SetTimer(int timerId, int periodMs);
    void KillTimer(int timerId);
    bool HasTimer(int timerId) const { return timers_.count(timerId) != 0; }

    bool PostMessage(unsigned message, MessageArgs args = {});
    std::optional<std::int64_t> SendMessage(
        unsigned message, MessageArgs args = {},
        std::uint32_t timeoutMs = MessagePort::kDefaultSendTimeoutMs);
    std::shared_ptr<MessagePort> Port() const { return port_; }
    bool IsWindowThread() const { return port_->IsWindowThread(); }

    // For a control answering MOUSE_SETCURSOR: the pointer shape it wants.
    void SetControlCursor(Qt::CursorShape shape);

    DragMode CurrentDrag() const { return drag_; }

    // ---- the keyboard: Tab and Shift+Tab move the focus around the chain of
    // controls (round, as the window has nothing else to take it); the focused
    // control gets the keys first. A mark around it shows where the focus is
    // once the keyboard has been used, while the window has the focus; the
    // mouse hides it again.
    // The controls Tab visits, in order; the first has the focus to begin with.
    void SetFocusChain(std::vector<CSkinControl*> chain);
    const std::vector<CSkinControl*>& FocusChain() const { return focusChain_; }
    CSkinControl* FocusedControl() const;
    // Moves the focus to a control of the chain (others are ignored).
    void SetFocusedControl(CSkinControl* control);
    bool IsFocusMarkShown() const;
    // The mark's look, in logical pixels.
    static constexpr qreal kFocusMarkWidth = 3.0;
    static QColor FocusMarkOuterColour();
    static QColor FocusMarkInnerColour();

    // ---- screen readers (see SkinWindowAccessible)
    // An alert: shown to assistive technologies with `text`, hidden with none.
    void SetAlert(const QString& text);
    QString Alert() const { return alert_; }
    // Tells assistive technologies about a control (on the window thread).
    void NotifyAccessible(CSkinControl* control, QAccessible::Event event);
    bool HasControl(const CSkinControl* control) const;

    // The window's pixels as they were last drawn (painted in full first if
    // nothing has been drawn yet), at the window's device pixel ratio. Shown on
    // screen as paint events come.
    const QImage& Surface();

protected:
    // Handles one window message on the window thread: MSG_REDRAWCONTROL here.
    // Derived windows handle theirs and pass the rest on.
    virtual std::int64_t HandleMessage(unsigned message, const MessageArgs& args);

    // Starts the window system's move; false where it cannot (the window then
    // follows the mouse until the button is released).
    virtual bool StartSystemMove();

    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    friend class CSkinControl;  // attaches and detaches itself
    friend class SkinWindowAccessible;  // tells the window it is there and gone
    void AttachControl(CSkinControl* control);
    void DetachControl(CSkinControl* control);

    // Hands the event to every control of every layer; true if any consumed it.
    bool DispatchMouse(int event, const QPoint& position, unsigned keyFlags);
    // The set-cursor pass: each layer until one of its controls answers true.
    void DispatchSetCursor(unsigned keyFlags);
    // Paints `part` of the surface again (all of it when the part is empty or
    // the surface is not valid).
    void RepaintSurface(const QRegion& part);
    // Shows the surface's `part` anew: painted again, then on the screen.
    void RefreshPart(const QRegion& part);
    // Moves the focus to chain entry `index`, the mark shown or not.
    void MoveFocus(std::size_t index, bool markVisible);
    void DrawFocusMark(QPainter& dc) const;
    // The pixels the mark covers around the focused control (empty when not shown).
    QRegion FocusMarkArea() const;
    static QRegion MarkBounds(const CSkinControl& control);

    std::shared_ptr<MessagePort> port_;
    const CSkinImage* background_ = nullptr;
    bool draggable_ = false;
    std::array<std::vector<CSkinControl*>, kLayerCount> layers_;
    std::vector<CSkinControl*> controls_;  // every control built for this window

    QImage surface_;
    bool surfaceValid_ = false;
    QRegion freshRegion_;  // drawn into the surface since the last paint event

    std::map<int, int> timers_;  // program timer id -> Qt timer id

    DragMode drag_ = DragMode::None;
    QPoint dragOffset_;  // pointer position relative to the window while following

    std::optional<Qt::CursorShape> controlCursor_;

    std::vector<CSkinControl*> focusChain_;
    std::size_t focusIndex_ = 0;
    bool focusMarkVisible_ = false;  // the keyboard was used since the last mouse press
    QString alert_;
    SkinWindowAccessible* accessible_ = nullptr;  // this window's interface while it exists
};

}  // namespace vorn
