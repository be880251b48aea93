#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/AutoResetEvent.h"
#include "ui/CSkinControl.h"

namespace vorn {

// Five stars in equal columns across the area. Hovering lights the stars up to
// the pointer, a click on a star reports its number (1 to 5) through the
// callback, and while a rating is wanted an animation thread sweeps the stars
// up and down until the pointer comes onto them or a rating is set.
class CVNRatingControl : public CSkinControl {
public:
    static constexpr int kStarCount = 5;
    static constexpr int kAnimationStepMs = 100;
    static constexpr std::uint32_t kStopWaitMs = 500;

    // Images are not owned.
    CVNRatingControl(std::string name, CSkinDialog* owner, const QRegion& area,
                     ControlCallback* callback, const CSkinImage* starOff,
                     const CSkinImage* starOn);
    // Stops a running animation and joins its thread.
    ~CVNRatingControl() override;

    bool Draw(QPainter& dc) override;
    bool WantsTicks() const override { return false; }  // nothing it does is timed by ticks
    bool OnMouse(int event, int x, int y, unsigned keyFlags) override;

    // Shows rating `rating` (0 to 5), stopping the animation. Any other value
    // is ignored: result 0. Result 1 when applied. Any thread.
    int SetRating(int rating);
    // Starts the animation unless it runs. Any thread.
    void StartAnimation();

    int ShownStars() const { return shown_.load(); }
    int Rating() const { return rating_.load(); }
    bool IsAnimating() const { return animating_.load(); }
    bool IsHoverSuspended() const { return hoverSuspended_; }

    // Screen readers: a slider from 0 (not rated) to 5 whose value is the
    // rating; setting it, or the action "Rate 1 star" ... "Rate 5 stars",
    // rates exactly as a click on that star does.
    QAccessible::Role AccessibleRole() const override { return QAccessible::Slider; }
    QStringList AccessibleActions() const override;
    bool DoAccessibleAction(const QString& action) override;
    bool HasAccessibleValue() const override { return true; }
    int AccessibleValue() const override { return rating_.load(); }
    int AccessibleMaximum() const override { return kStarCount; }
    bool SetAccessibleValue(int value) override;
    static QString RateActionName(int star);

    // The keyboard, as the pointer: Up and Down light the stars as hovering
    // does, Space or Enter rates with the stars lit so.
    bool OnKey(int key, Qt::KeyboardModifiers modifiers) override;
    void OnFocus(bool focused) override;

    // Star i (0 to 4): a column of the area's bounding box, full height.
    QRect StarRect(int i) const;

private:
    void StopAnimation();
    void Animate();
    // The star (1 to 5) whose column holds the point, or 0.
    int StarAt(int x, int y) const;
    // A star chosen (a click): the rating, and the callback.
    bool Choose(int star);
    // Lights `star` stars as a hover does, stopping the animation meanwhile.
    void Preview(int star);
    // The pointer or the keyboard went away from the stars: the animation
    // starts again if a hover stopped it, else the rating shows again.
    void EndPreview();

    std::atomic<int> shown_{0};
    std::atomic<int> rating_{0};
    std::atomic<bool> animating_{false};
    bool hoverSuspended_ = false;  // window thread only
    int keyChoice_ = 0;            // window thread only: the star Up/Down lit, 0 for none
    const CSkinImage* starOff_;
    const CSkinImage* starOn_;

    // Guards thread_: starting, stopping and joining the animation. The
    // animation thread never takes it, so joining under it cannot deadlock.
    std::mutex animationMutex_;
    std::thread thread_;
    AutoResetEvent stopped_;  // set by the animation thread as it ends

    std::mutex pauseMutex_;  // guards nothing but the animation's pause between steps
    std::condition_variable pauseCv_;  // cuts that pause short when stopping
};

}  // namespace vorn
