#pragma once

#include <atomic>

#include "ui/CSkinControl.h"

namespace vorn {

// A push button: pressed look while the left button is down on it, a click
// (code 1) on release; held for a little over a second it repeats code 2 every
// tick and reports the release as code 3. The play button has an alternate
// ("playing") pair of looks.
class CSkinButton : public CSkinControl {
public:
    static constexpr int kStateUp = 0;
    static constexpr int kStatePressed = 1;
    static constexpr int kStateHolding = 2;

    static constexpr int kCodeClick = 1;
    static constexpr int kCodeHoldRepeat = 2;
    static constexpr int kCodeHoldRelease = 3;

    // Ticks a press must last before hold-repeat starts (on the tick after).
    static constexpr int kHoldTicks = 5;

    // Images are not owned. With two images the pressed and up looks also
    // serve as the alternate ones.
    CSkinButton(std::string name, CSkinDialog* owner, const QRegion& area,
                ControlCallback* callback, const CSkinImage* pressed, const CSkinImage* up);
    CSkinButton(std::string name, CSkinDialog* owner, const QRegion& area,
                ControlCallback* callback, const CSkinImage* alternatePressed,
                const CSkinImage* alternateUp, const CSkinImage* pressed, const CSkinImage* up);

    bool Draw(QPainter& dc) override;
    bool Tick() override;
    // Only a press counts ticks (towards hold-repeat).
    bool WantsTicks() const override { return state_ != kStateUp; }
    bool OnMouse(int event, int x, int y, unsigned keyFlags) override;

    // The alternate look; may be called from any thread.
    void SetPlayingLook();
    void SetStoppedLook();
    bool IsPlayingLook() const { return alternate_.load() == 1; }

    // Screen readers: a push button named `name`, or `playingName` in the
    // playing look; "Press" clicks it, and a button that seeks while held
    // offers `holdAction` for one hold-repeat step.
    void SetAccessibleNames(const QString& name, const QString& playingName);
    void SetHoldAction(const QString& holdAction) { holdAction_ = holdAction; }
    QAccessible::Role AccessibleRole() const override { return QAccessible::Button; }
    QString AccessibleName() const override;
    QStringList AccessibleActions() const override;
    bool DoAccessibleAction(const QString& action) override;

    int State() const { return state_; }
    int HoldCount() const { return holdCount_; }

private:
    const CSkinImage* SelectedImage() const;
    void Release(int code);

    int state_ = kStateUp;          // window thread only
    std::atomic<int> alternate_{0};  // set from the player's threads, read when drawing
    int holdCount_ = 0;              // window thread only
    const CSkinImage* alternatePressed_;
    const CSkinImage* alternateUp_;
    const CSkinImage* pressed_;
    const CSkinImage* up_;
    QString playingName_;  // the accessible name in the playing look
    QString holdAction_;
};

}  // namespace vorn
