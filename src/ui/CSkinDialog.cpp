#include "ui/CSkinDialog.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTimerEvent>
#include <QWindow>

#include <algorithm>

#include "ui/CSkinControl.h"
#include "ui/CSkinImage.h"
#include "ui/SkinWindowAccessible.h"
#include "ui/WindowMessageEvent.h"
#include "ui/WindowSystem.h"
#include "ui/WindowSystemPosition.h"

namespace vorn {

namespace {

unsigned KeyFlags(const QMouseEvent* event) {
    unsigned flags = 0;
    const Qt::MouseButtons buttons = event->buttons();
    if (buttons & Qt::LeftButton) flags |= MK_LBUTTON;
    if (buttons & Qt::RightButton) flags |= MK_RBUTTON;
    if (buttons & Qt::MiddleButton) flags |= MK_MBUTTON;
    if (event->modifiers() & Qt::ShiftModifier) flags |= MK_SHIFT;
    if (event->modifiers() & Qt::ControlModifier) flags |= MK_CONTROL;
    return flags;
}

}  // namespace

CSkinDialog::CSkinDialog(QWidget* parent)
    : HidesSettled<CToolTipDialog>(parent), port_(std::make_shared<MessagePort>(this)) {
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    // Every pixel comes from the surface; Qt must not clear anything first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // Wayland has no shaped windows: the surface's alpha shows the outline and
    // the mask becomes the input region, so clicks beside the skin fall through.
    if (WindowSystem::IsWayland()) setAttribute(Qt::WA_TranslucentBackground);
    setMouseTracking(true);
    // The window takes the keyboard (Tab, a click or the window manager) and
    // hands it on to its controls.
    setFocusPolicy(Qt::StrongFocus);
    SkinWindowAccessible::Install();
    resize(kSkinWidth, kSkinHeight);
    SetTimer(TIMER_CONTROL_TICK, TIMER_CONTROL_TICK_MS);
}

CSkinDialog::~CSkinDialog() {
    // Messages still on their way (a control's repaint request, a player
    // thread's message) are refused or dropped from now on; controls that
    // outlive the window forget it.
    port_->Detach();
    for (CSkinControl* control : controls_) {
        control->owner_ = nullptr;
    }
    // Screen readers lose the controls now, before the window's parts go.
    if (accessible_ != nullptr) accessible_->WindowGone();
}

void CSkinDialog::SetBackground(const CSkinImage* image) {
    background_ = image;
    surfaceValid_ = false;
    update();
}

bool CSkinDialog::AddControl(CSkinControl* control, int layer) {
    if (control == nullptr || layer < 0 || layer >= kLayerCount) {
        return false;
    }
    layers_[static_cast<std::size_t>(layer)].push_back(control);
    surfaceValid_ = false;
    update();
    return true;
}

const std::vector<CSkinControl*>& CSkinDialog::Layer(int layer) const {
    static const std::vector<CSkinControl*> none;
    return layer >= 0 && layer < kLayerCount ? layers_[static_cast<std::size_t>(layer)] : none;
}

void CSkinDialog::AttachControl(CSkinControl* control) {
    controls_.push_back(control);
}

void CSkinDialog::DetachControl(CSkinControl* control) {
    // A control that goes before its window leaves no pointer behind, so a
    // repaint request still queued under its name finds nothing to draw.
    auto drop = [control](std::vector<CSkinControl*>& list) {
        list.erase(std::remove(list.begin(), list.end(), control), list.end());
    };
    CSkinControl* focused = FocusedControl();
    drop(controls_);
    for (auto& layer : layers_) {
        drop(layer);
    }
    drop(focusChain_);
    const auto still = std::find(focusChain_.begin(), focusChain_.end(), focused);
    focusIndex_ = still != focusChain_.end() ? static_cast<std::size_t>(still - focusChain_.begin()) : 0;
    surfaceValid_ = false;
    update();
}

void CSkinDialog::PaintAll(QPainter& dc) {
    if (background_ != nullptr && background_->IsValid()) {
        dc.setCompositionMode(QPainter::CompositionMode_SourceOver);
        background_->Draw(dc, QPoint(0, 0), QRect(0, 0, kSkinWidth, kSkinHeight));
    }
    for (const auto& layer : layers_) {
        for (CSkinControl* control : layer) {
            dc.save();
            control->Draw(dc);
            dc.restore();
        }
    }
    if (IsFocusMarkShown()) DrawFocusMark(dc);
}

int CSkinDialog::RedrawControl(const std::string& name) {
    Surface();
    QRegion drawn;
    QRegion touched;  // where the draws may have painted, changed or not
    {
        QPainter dc(&surface_);
        auto draw = [&](CSkinControl* control) {
            dc.save();
            const bool result = control->Draw(dc);
            dc.restore();
            drawn += control->ChangedByLastDraw();
            touched += control->BoundingBox();
            return result;
        };
        bool found = false;
        for (const auto& layer : layers_) {
            if (!found) {
                auto it = std::find_if(layer.begin(), layer.end(),
                                       [&](CSkinControl* c) { return c->Name() == name; });
                if (it != layer.end()) {
                    found = draw(*it);
                }
            } else if (!layer.empty()) {
                draw(layer.front());
            }
        }
    }
    // A control drawn under the focus mark covered part of it, even where it
    // showed nothing new: that part is painted again whole, mark included.
    const QRegion underMark = touched & FocusMarkArea();
    if (!underMark.isEmpty()) {
        RepaintSurface(underMark);
        drawn += underMark;
    }
    if (!drawn.isEmpty()) {
        freshRegion_ += drawn;
        update(drawn);
    }
    return 0;
}

void CSkinDialog::RefreshPart(const QRegion& part) {
    if (part.isEmpty()) return;
    if (surfaceValid_) {
        RepaintSurface(part);
        freshRegion_ += part;
    }
    update(part);
}

const QImage& CSkinDialog::Surface() {
    if (!surfaceValid_) {
        RepaintSurface(QRegion());
    }
    return surface_;
}

void CSkinDialog::RepaintSurface(const QRegion& part) {
    // The surface has the screen's resolution; everything is drawn on it in
    // logical pixels.
    const qreal ratio = devicePixelRatioF();
    const QSize size = (QSizeF(this->size().expandedTo(QSize(1, 1))) * ratio).toSize();
    if (surface_.size() != size || surface_.devicePixelRatio() != ratio) {
        surface_ = QImage(size, QImage::Format_ARGB32_Premultiplied);
        surface_.setDevicePixelRatio(ratio);
        surfaceValid_ = false;
    }
    QPainter dc(&surface_);
    if (surfaceValid_ && !part.isEmpty()) {
        dc.setClipRegion(part);
    }
    dc.setCompositionMode(QPainter::CompositionMode_Source);
    dc.fillRect(surface_.rect(), Qt::transparent);
    PaintAll(dc);
    surfaceValid_ = true;
}

double CSkinDialog::SkinPixelRatio() {
    return qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
}

QRegion CSkinDialog::ShapeFromImage(const CSkinImage& image, const QSize& clientSize) {
    const QSize logical = image.LogicalSize();
    const int width = std::min(logical.width(), clientSize.width());
    const int height = std::min(logical.height(), clientSize.height());
    // One rectangle per opaque run and row; rows with the same runs as the row
    // above only make the previous rectangles taller, which describes the same
    // pixels with fewer rectangles.
    std::vector<QRect> rects;
    std::vector<std::pair<int, int>> previousRuns;
    std::size_t previousFirst = 0;
    for (int y = 0; y < height; ++y) {
        std::vector<std::pair<int, int>> runs;
        int x = 0;
        while (x < width) {
            if (!image.IsOpaqueAtLogical(x, y)) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < width && image.IsOpaqueAtLogical(x, y)) {
                ++x;
            }
            runs.emplace_back(start, x);
        }
        if (y > 0 && !runs.empty() && runs == previousRuns) {
            for (std::size_t i = previousFirst; i < rects.size(); ++i) {
                rects[i].setBottom(y);
            }
            continue;
        }
        previousFirst = rects.size();
        for (const auto& [x0, x1] : runs) {
            rects.emplace_back(x0, y, x1 - x0, 1);
        }
        previousRuns = std::move(runs);
    }
    QRegion region;
    region.setRects(rects.data(), static_cast<int>(rects.size()));
    return region;
}

void CSkinDialog::ComputeWindowShape() {
    if (background_ == nullptr || !background_->IsValid()) {
        clearMask();
        return;
    }
    setMask(ShapeFromImage(*background_, size()));
}

void CSkinDialog::TimerTick(int timerId) {
    if (timerId != TIMER_CONTROL_TICK) {
        return;
    }
    bool wanted = false;
    for (const auto& layer : layers_) {
        for (CSkinControl* control : layer) {
            control->Tick();
            wanted = wanted || control->WantsTicks();
        }
    }
    if (!wanted) {
        KillTimer(TIMER_CONTROL_TICK);
    }
}

void CSkinDialog::ControlWantsTicks() {
    if (!HasTimer(TIMER_CONTROL_TICK)) {
        SetTimer(TIMER_CONTROL_TICK, TIMER_CONTROL_TICK_MS);
    }
}

void CSkinDialog::SetTimer(int timerId, int periodMs) {
    KillTimer(timerId);
    const int qtId = startTimer(periodMs);
    if (qtId != 0) {
        timers_[timerId] = qtId;
    }
}

void CSkinDialog::KillTimer(int timerId) {
    auto it = timers_.find(timerId);
    if (it != timers_.end()) {
        killTimer(it->second);
        timers_.erase(it);
    }
}

bool CSkinDialog::PostMessage(unsigned message, MessageArgs args) {
    return port_->Post(message, std::move(args));
}

std::optional<std::int64_t> CSkinDialog::SendMessage(unsigned message, MessageArgs args,
                                                     std::uint32_t timeoutMs) {
    return port_->Send(message, std::move(args), timeoutMs);
}

std::int64_t CSkinDialog::HandleMessage(unsigned message, const MessageArgs& args) {
    if (message == MSG_REDRAWCONTROL) {
        return RedrawControl(args.text.value_or(std::string()));
    }
    if (message == MSG_ACCESSIBLECHANGE) {
        const std::string name = args.text.value_or(std::string());
        for (CSkinControl* control : controls_) {
            if (control->Name() == name) {
                NotifyAccessible(control, static_cast<QAccessible::Event>(args.value));
                break;
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------- the keyboard

void CSkinDialog::SetFocusChain(std::vector<CSkinControl*> chain) {
    const QRegion before = FocusMarkArea();
    focusChain_ = std::move(chain);
    focusIndex_ = 0;
    RefreshPart(before + FocusMarkArea());
}

CSkinControl* CSkinDialog::FocusedControl() const {
    return focusIndex_ < focusChain_.size() ? focusChain_[focusIndex_] : nullptr;
}

void CSkinDialog::SetFocusedControl(CSkinControl* control) {
    const auto it = std::find(focusChain_.begin(), focusChain_.end(), control);
    if (it != focusChain_.end()) MoveFocus(static_cast<std::size_t>(it - focusChain_.begin()), focusMarkVisible_);
}

bool CSkinDialog::IsFocusMarkShown() const {
    return focusMarkVisible_ && hasFocus() && FocusedControl() != nullptr;
}

void CSkinDialog::MoveFocus(std::size_t index, bool markVisible) {
    if (index >= focusChain_.size()) return;
    CSkinControl* before = FocusedControl();
    const QRegion oldMark = FocusMarkArea();
    focusIndex_ = index;
    focusMarkVisible_ = markVisible;
    RefreshPart(oldMark + FocusMarkArea());
    CSkinControl* now = FocusedControl();
    if (before != now) {
        if (before != nullptr) before->OnFocus(false);
        now->OnFocus(true);
        if (hasFocus()) NotifyAccessible(now, QAccessible::Focus);
    }
}

bool CSkinDialog::focusNextPrevChild(bool next) {
    if (focusChain_.empty()) return CToolTipDialog::focusNextPrevChild(next);
    const std::size_t count = focusChain_.size();
    // The first Tab shows where the focus is before it moves it, and tells a
    // screen reader again.
    if (!focusMarkVisible_) {
        MoveFocus(focusIndex_, true);
        if (FocusedControl() != nullptr) NotifyAccessible(FocusedControl(), QAccessible::Focus);
        return true;
    }
    MoveFocus((focusIndex_ + (next ? 1 : count - 1)) % count, true);
    return true;
}

void CSkinDialog::keyPressEvent(QKeyEvent* event) {
    CSkinControl* focused = FocusedControl();
    if (focused != nullptr && focused->OnKey(event->key(), event->modifiers())) {
        if (!focusMarkVisible_) MoveFocus(focusIndex_, true);
        event->accept();
        return;
    }
    CToolTipDialog::keyPressEvent(event);  // Escape is the dialog's cancel
}

void CSkinDialog::focusInEvent(QFocusEvent* event) {
    CToolTipDialog::focusInEvent(event);
    RefreshPart(FocusMarkArea());
    // After Qt has told of the window's focus: a screen reader then reads the
    // control that has it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (hasFocus() && FocusedControl() != nullptr) NotifyAccessible(FocusedControl(), QAccessible::Focus);
        },
        Qt::QueuedConnection);
}

void CSkinDialog::focusOutEvent(QFocusEvent* event) {
    CToolTipDialog::focusOutEvent(event);
    // The mark goes with the focus.
    if (focusMarkVisible_ && FocusedControl() != nullptr) RefreshPart(MarkBounds(*FocusedControl()));
}

QColor CSkinDialog::FocusMarkOuterColour() { return QColor(0x10, 0x10, 0x10); }
QColor CSkinDialog::FocusMarkInnerColour() { return QColor(0xFF, 0xD0, 0x00); }

void CSkinDialog::DrawFocusMark(QPainter& dc) const {
    const QPainterPath outline = FocusedControl()->FocusOutline();
    dc.save();
    dc.setRenderHint(QPainter::Antialiasing);
    dc.setCompositionMode(QPainter::CompositionMode_SourceOver);
    dc.setBrush(Qt::NoBrush);
    // A dark band with a bright line inside it: seen on light and dark artwork alike.
    dc.setPen(QPen(FocusMarkOuterColour(), kFocusMarkWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    dc.drawPath(outline);
    dc.setPen(QPen(FocusMarkInnerColour(), kFocusMarkWidth / 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    dc.drawPath(outline);
    dc.restore();
}

QRegion CSkinDialog::FocusMarkArea() const {
    return IsFocusMarkShown() ? MarkBounds(*FocusedControl()) : QRegion();
}

QRegion CSkinDialog::MarkBounds(const CSkinControl& control) {
    const int reach = static_cast<int>(kFocusMarkWidth) + 1;  // half the pen and the antialiasing, rounded up
    return QRegion(control.FocusOutline().boundingRect().toAlignedRect().adjusted(-reach, -reach, reach, reach));
}

// ---------------------------------------------------------------- screen readers

bool CSkinDialog::HasControl(const CSkinControl* control) const {
    return std::find(controls_.begin(), controls_.end(), control) != controls_.end();
}

void CSkinDialog::SetAlert(const QString& text) {
    if (text == alert_) return;
    const bool shown = !alert_.isEmpty();
    alert_ = text;
    if (accessible_ != nullptr && QAccessible::isActive()) accessible_->AlertChanged(shown, !text.isEmpty());
}

void CSkinDialog::NotifyAccessible(CSkinControl* control, QAccessible::Event event) {
    if (!QAccessible::isActive()) return;
    // Asking makes the window's interface if no screen reader has yet.
    auto* window = dynamic_cast<SkinWindowAccessible*>(QAccessible::queryAccessibleInterface(this));
    if (window != nullptr) window->ControlChanged(control, event);
}

void CSkinDialog::SetControlCursor(Qt::CursorShape shape) {
    controlCursor_ = shape;
}

bool CSkinDialog::StartSystemMove() {
    QWindow* window = windowHandle();
    return window != nullptr && window->startSystemMove();
}

bool CSkinDialog::DispatchMouse(int event, const QPoint& position, unsigned keyFlags) {
    bool consumed = false;
    for (const auto& layer : layers_) {
        for (CSkinControl* control : layer) {
            // Every control hears every event, whatever the others answered.
            if (control->OnMouse(event, position.x(), position.y(), keyFlags)) {
                consumed = true;
            }
        }
    }
    return consumed;
}

void CSkinDialog::DispatchSetCursor(unsigned keyFlags) {
    controlCursor_.reset();
    bool handled = false;
    for (const auto& layer : layers_) {
        for (CSkinControl* control : layer) {
            if (control->OnMouse(MOUSE_SETCURSOR, kNoPosition, kNoPosition, keyFlags)) {
                handled = true;
                break;  // this layer is done; the next one is still asked
            }
        }
    }
    if (!handled) {
        unsetCursor();
    } else if (controlCursor_) {
        setCursor(*controlCursor_);
    }
}

bool CSkinDialog::event(QEvent* event) {
    if (event->type() == WindowMessageEvent::EventType()) {
        auto* message = static_cast<WindowMessageEvent*>(event);
        message->Answer(HandleMessage(message->Message(), message->Args()));
        return true;
    }
    if (event->type() == QEvent::Leave && drag_ == DragMode::None) {
        // The pointer left the window: controls see it move off their areas.
        DispatchMouse(MOUSE_MOVE, QPoint(kNoPosition, kNoPosition), 0);
        DispatchSetCursor(0);
    }
    return CToolTipDialog::event(event);
}

void CSkinDialog::paintEvent(QPaintEvent* event) {
    if (!surfaceValid_) {
        RepaintSurface(QRegion());
    } else {
        // What was drawn since the last paint event is current; whatever else
        // the window system asks for (an expose) is drawn again, that part only.
        const QRegion stale = event->region() - freshRegion_;
        if (!stale.isEmpty()) {
            RepaintSurface(stale);
        }
    }
    freshRegion_ = QRegion();
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    // Whole pixels of the surface onto whole pixels of the window at any ratio.
    painter.setClipRect(event->rect());
    painter.drawImage(QPoint(0, 0), surface_);
}

void CSkinDialog::resizeEvent(QResizeEvent* event) {
    surfaceValid_ = false;
    CToolTipDialog::resizeEvent(event);
}

void CSkinDialog::timerEvent(QTimerEvent* event) {
    for (const auto& [programId, qtId] : timers_) {
        if (qtId == event->timerId()) {
            TimerTick(programId);
            return;
        }
    }
    CToolTipDialog::timerEvent(event);
}

void CSkinDialog::mousePressEvent(QMouseEvent* event) {
    if (drag_ == DragMode::System) {
        drag_ = DragMode::None;  // the window system has finished that move
    }
    if (event->button() != Qt::LeftButton) {
        CToolTipDialog::mousePressEvent(event);
        return;
    }
    if (focusMarkVisible_) MoveFocus(focusIndex_, false);  // the mouse is in use: no mark
    const bool consumed = DispatchMouse(MOUSE_LBUTTONDOWN, event->position().toPoint(),
                                        KeyFlags(event));
    if (consumed || !draggable_) {
        return;
    }
    // Both ways of moving work from where Qt believes the window is.
    WindowSystemPosition::Resync(*this);
    if (StartSystemMove()) {
        drag_ = DragMode::System;
    } else {
        drag_ = DragMode::FollowMouse;
        dragOffset_ = event->globalPosition().toPoint() - pos();
    }
}

void CSkinDialog::mouseDoubleClickEvent(QMouseEvent* event) {
    // Qt delivers the second press of a quick double click as this event alone
    // (press, release, double click, release): the controls hear it as a
    // button down, so a second quick click counts; it never starts a drag.
    if (event->button() == Qt::LeftButton) {
        DispatchMouse(MOUSE_LBUTTONDOWN, event->position().toPoint(), KeyFlags(event));
    }
    event->accept();
}

void CSkinDialog::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        CToolTipDialog::mouseReleaseEvent(event);
        return;
    }
    if (drag_ != DragMode::None) {
        // The release ends the move; like a window-system move it reaches no control.
        drag_ = DragMode::None;
        return;
    }
    DispatchMouse(MOUSE_LBUTTONUP, event->position().toPoint(), KeyFlags(event));
}

void CSkinDialog::mouseMoveEvent(QMouseEvent* event) {
    if (drag_ == DragMode::FollowMouse) {
        if (event->buttons() & Qt::LeftButton) {
            move(event->globalPosition().toPoint() - dragOffset_);
            return;
        }
        drag_ = DragMode::None;  // the release went elsewhere
    } else if (drag_ == DragMode::System) {
        drag_ = DragMode::None;
    }
    const unsigned flags = KeyFlags(event);
    DispatchMouse(MOUSE_MOVE, event->position().toPoint(), flags);
    DispatchSetCursor(flags);
}

}  // namespace vorn
