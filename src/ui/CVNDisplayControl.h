#pragma once

#include <QFont>
#include <QImage>
#include <QRect>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ui/CSkinControl.h"

namespace vorn {

class DisplayGlyphs;

// The two-line digital display. Line 1 scrolls when it is longer than the 28
// visible characters: it then runs between two blank stretches of 28 spaces,
// one step per ScrollTick. Line 2 is shown centred. The texts may be set from
// any thread; a clickable display reports a click and shows its line 1 in
// green with a hand pointer while hovered.
//
// A text is shown folded (see DisplayFolding: "Zoë" as "Zoe", "Москва" as
// "Moskva"), then cleaned to the font's characters. The first text that needs
// folding has the transforms made on a thread of the display's while it shows
// cleaned; it shows folded as soon as they are made.
class CVNDisplayControl : public CSkinControl {
public:
    static constexpr int kVisibleWidth = 28;
    // Pixels of the face kept clear above and below each line's ink.
    static constexpr int kLineClearance = 2;
    static constexpr const char* kFontPath = "./resources/DIGIRT__.ttf";
    static constexpr int kCodeClick = 1;

    // Images are not owned. The display font is added (never removed) and
    // fitted when a text first needs it, or on PrepareFont: finding fonts
    // starts fontconfig, which a display without text need not wait for.
    CVNDisplayControl(std::string name, CSkinDialog* owner, const QRegion& area,
                      ControlCallback* callback, const CSkinImage* overlay,
                      const CSkinImage* face);
    ~CVNDisplayControl() override;

    bool Draw(QPainter& dc) override;
    bool WantsTicks() const override { return false; }  // it scrolls on a timer of its window's
    // The lines the last Draw composed again: a scroll step or a new title
    // shows line 1 again, a new second only line 2.
    QRegion ChangedByLastDraw() const override;
    bool OnMouse(int event, int x, int y, unsigned keyFlags) override;

    void SetLine1(const std::string& text);
    void SetLine1(const char* text);
    void SetLine2(const std::string& text);
    void SetLine2(const char* text);
    void SetClickable(bool clickable);
    bool IsClickable() const { return clickable_.load(); }
    bool IsHovered() const { return hover_.load(); }
    // The setters and ScrollTick repaint the display only when what it shows
    // changed (a text, the scroll offset, the hovered title's colour).
    // Advances line 1 by one character (back to the start after the end).
    void ScrollTick();

    // Screen readers: static text named by line 1 (as given, whole, not the
    // scrolled part nor the font's cleaned letters), described by line 2; a
    // clickable display can be pressed. A new line 1 is announced.
    QAccessible::Role AccessibleRole() const override { return QAccessible::StaticText; }
    QString AccessibleName() const override;
    QString AccessibleDescription() const override;
    QStringList AccessibleActions() const override;
    bool DoAccessibleAction(const QString& action) override;

    std::string Line1() const;
    std::string Line2() const;
    int ScrollOffset() const;
    // The part of line 1 that is shown now.
    std::string VisibleLine1() const;

    // Space kept clear at either end of a line, inside the display's glass edge.
    static constexpr int kTextMargin = 3;
    // One character's share of a line: the visible width spread over the box.
    double CellWidth() const;

    QRect Line1Rect() const { return line1Rect_; }
    QRect Line2Rect() const { return line2Rect_; }
    const QFont& Font() const;
    // Adds and fits the display font now, so that the first text waits for nothing.
    void PrepareFont() const { Glyphs(); }

    // Every character the display font cannot show becomes a space: only ASCII
    // letters, digits, space and ( ) - / : remain. A character encoded in
    // several UTF-8 bytes becomes one space.
    static std::string CleanText(const std::string& text);
    // What the display shows of a text: folded, then cleaned.
    static std::string ShownText(const std::string& text);
    static const std::string& Separator();

private:
    static QString DisplayFontFamily();
    std::string VisibleLine1Locked() const;
    // Lines 1 and 2 as shown from their texts as given: true when they changed.
    bool ShowLine1Locked();
    bool ShowLine2Locked();
    // Starts making the folding transforms when this text needs them.
    void FoldWhenReadyLocked(const std::string& text);
    // Marks line 1 for composing again and asks for a repaint.
    void TitleColourChanged();
    // Face, text and overlay of one line on the kept canvas (canvas coordinates).
    void ComposeLine(QPainter& painter, const QRect& line, const std::string& text, double left,
                     QColor colour);

    // guards the lines as given, shown and spoken, scrollOffset_, the lines'
    // dirty marks and the folding thread
    mutable std::mutex textMutex_;
    QString spokenLine1_;  // the texts as given, for screen readers
    QString spokenLine2_;
    std::string givenLine1_;  // the texts as given, folded again once the transforms are made
    std::string givenLine2_;
    bool foldingStarted_ = false;
    std::thread folding_;  // makes the folding transforms; joined at destruction
    std::string line1_;
    std::string line2_;
    int scrollOffset_ = 0;
    bool line1Dirty_ = true;  // line 1 must be composed again at the next draw
    bool line2Dirty_ = true;

    std::atomic<bool> hover_{false};      // window thread writes, any thread reads
    std::atomic<bool> clickable_{false};  // set from the player's threads
    const CSkinImage* overlay_;
    const CSkinImage* face_;
    QImage filledFace_;  // window thread only: the face flood-filled, made on first draw
    QImage canvas_;      // window thread only: the composed display, kept between draws
    QRegion changedByLastDraw_;  // window thread only
    DisplayGlyphs& Glyphs() const;

    mutable std::unique_ptr<DisplayGlyphs> glyphs_;  // window thread, made on first use
    QRect line1Rect_;
    QRect line2Rect_;
};

}  // namespace vorn
