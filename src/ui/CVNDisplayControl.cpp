#include "ui/CVNDisplayControl.h"

#include <QFontDatabase>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "foundation/LogEntry.h"
#include "ui/CSkinDialog.h"
#include "ui/CSkinImage.h"
#include "ui/DisplayFolding.h"
#include "ui/DisplayGlyphs.h"
#include "ui/FloodFill.h"

namespace vorn {

namespace {

constexpr QRgb kWhite = 0xFFFFFFFFu;
// The clickable title under the pointer: a green dark enough to read on the
// white face (contrast 5.1 : 1; pure green reaches only 1.4 : 1).
const QColor kLinkGreen(0, 128, 0);

bool Displayable(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == ' ' || c == '(' || c == ')' || c == '-' || c == '/' || c == ':';
}

// Length of the well-formed UTF-8 sequence starting at text[i], or 0.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (next < 0x80 || next > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

CVNDisplayControl::CVNDisplayControl(std::string name, CSkinDialog* owner, const QRegion& area,
                                     ControlCallback* callback, const CSkinImage* overlay,
                                     const CSkinImage* face)
    : CSkinControl(std::move(name), owner, area, callback), overlay_(overlay), face_(face) {
    const QRect box = BoundingBox();
    const int mid = box.top() + box.height() / 2;
    line1Rect_ = QRect(box.left(), box.top(), box.width(), mid - box.top());
    line2Rect_ = QRect(box.left(), mid, box.width(), box.top() + box.height() - mid);
}

CVNDisplayControl::~CVNDisplayControl() {
    if (folding_.joinable()) folding_.join();
}

DisplayGlyphs& CVNDisplayControl::Glyphs() const {
    if (!glyphs_) {
        glyphs_ = std::make_unique<DisplayGlyphs>(
            DisplayFontFamily(), std::min(line1Rect_.height(), line2Rect_.height()), kLineClearance,
            CellWidth());
    }
    return *glyphs_;
}

const QFont& CVNDisplayControl::Font() const {
    return Glyphs().Font();
}

QString CVNDisplayControl::DisplayFontFamily() {
    // Window thread only, like every control's construction.
    static QString family;
    if (!family.isEmpty()) {
        return family;
    }
    const int id = QFontDatabase::addApplicationFont(QString::fromUtf8(kFontPath));
    const QStringList families =
        id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
    if (families.isEmpty()) {
        VORN_LOG(LogLevel::Warning) << "CVNDisplayControl : Adding font " << kFontPath
                                    << " failed";
        return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    }
    family = families.front();
    return family;
}

const std::string& CVNDisplayControl::Separator() {
    static const std::string separator(kVisibleWidth, ' ');
    return separator;
}

std::string CVNDisplayControl::CleanText(const std::string& text) {
    std::string cleaned;
    cleaned.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            cleaned.push_back(Displayable(c) ? static_cast<char>(c) : ' ');
            ++i;
            continue;
        }
        const std::size_t length = Utf8SequenceLength(text, i);
        cleaned.push_back(' ');
        i += length != 0 ? length : 1;
    }
    return cleaned;
}

void CVNDisplayControl::SetLine1(const std::string& text) {
    bool changed = false;
    bool renamed = false;
    {
        std::lock_guard lock(textMutex_);
        const QString spoken = QString::fromStdString(text).simplified();
        renamed = spoken != spokenLine1_;
        spokenLine1_ = spoken;
        givenLine1_ = text;
        changed = ShowLine1Locked();
        FoldWhenReadyLocked(text);
    }
    if (changed) {
        RequestRedraw();
    }
    if (renamed) {
        NotifyAccessible(QAccessible::NameChanged);  // a new track, or news
    }
}

bool CVNDisplayControl::ShowLine1Locked() {
    const std::string shown = ShownText(givenLine1_);
    std::string line = static_cast<int>(shown.size()) > kVisibleWidth ? Separator() + shown + Separator() : shown;
    bool changed = line != line1_;
    line1_ = std::move(line);
    if (kVisibleWidth + scrollOffset_ >= static_cast<int>(line1_.size()) && scrollOffset_ != 0) {
        scrollOffset_ = 0;
        changed = true;
    }
    line1Dirty_ = line1Dirty_ || changed;
    return changed;
}

bool CVNDisplayControl::ShowLine2Locked() {
    std::string line = ShownText(givenLine2_);
    const bool changed = line != line2_;
    line2_ = std::move(line);
    line2Dirty_ = line2Dirty_ || changed;
    return changed;
}

std::string CVNDisplayControl::ShownText(const std::string& text) {
    return CleanText(DisplayFolding::Fold(text));
}

void CVNDisplayControl::FoldWhenReadyLocked(const std::string& text) {
    if (foldingStarted_ || DisplayFolding::IsReady() || !DisplayFolding::NeedsFolding(text)) {
        return;
    }
    // Made once, off the caller's thread (usually the window's): meanwhile
    // the text shows cleaned, and folded once the transforms are made.
    foldingStarted_ = true;
    folding_ = std::thread([this] {
        if (!DisplayFolding::Prepare()) return;
        bool changed = false;
        {
            std::lock_guard lock(textMutex_);
            changed = ShowLine1Locked();
            changed = ShowLine2Locked() || changed;
        }
        if (changed) RequestRedraw();
    });
}

void CVNDisplayControl::SetLine1(const char* text) {
    SetLine1(std::string(text != nullptr ? text : ""));
}

void CVNDisplayControl::SetLine2(const std::string& text) {
    bool changed = false;
    {
        std::lock_guard lock(textMutex_);
        spokenLine2_ = QString::fromStdString(text).simplified();
        givenLine2_ = text;
        changed = ShowLine2Locked();
        FoldWhenReadyLocked(text);
    }
    // The media poll sets the same time twice a second: only a new second shows.
    if (changed) {
        RequestRedraw();
    }
}

void CVNDisplayControl::SetLine2(const char* text) {
    SetLine2(std::string(text != nullptr ? text : ""));
}

void CVNDisplayControl::SetClickable(bool clickable) {
    if (clickable_.exchange(clickable) != clickable && hover_.load()) {
        TitleColourChanged();
    }
}

void CVNDisplayControl::ScrollTick() {
    int before = 0;
    int after = 0;
    {
        std::lock_guard lock(textMutex_);
        before = scrollOffset_;
        if (scrollOffset_ + kVisibleWidth < static_cast<int>(line1_.size())) {
            ++scrollOffset_;
        } else {
            scrollOffset_ = 0;
        }
        after = scrollOffset_;
        line1Dirty_ = line1Dirty_ || after != before;
    }
    // A line that fits never moves: its ticks draw nothing.
    if (after != before) {
        RequestRedraw();
    }
}

void CVNDisplayControl::TitleColourChanged() {
    {
        std::lock_guard lock(textMutex_);
        line1Dirty_ = true;
    }
    RequestRedraw();
}

std::string CVNDisplayControl::Line1() const {
    std::lock_guard lock(textMutex_);
    return line1_;
}

std::string CVNDisplayControl::Line2() const {
    std::lock_guard lock(textMutex_);
    return line2_;
}

int CVNDisplayControl::ScrollOffset() const {
    std::lock_guard lock(textMutex_);
    return scrollOffset_;
}

std::string CVNDisplayControl::VisibleLine1() const {
    std::lock_guard lock(textMutex_);
    return VisibleLine1Locked();
}

double CVNDisplayControl::CellWidth() const {
    return static_cast<double>(BoundingBox().width() - 2 * kTextMargin) / kVisibleWidth;
}

std::string CVNDisplayControl::VisibleLine1Locked() const {
    if (static_cast<int>(line1_.size()) > kVisibleWidth) {
        return line1_.substr(static_cast<std::size_t>(scrollOffset_), kVisibleWidth);
    }
    return line1_;
}

bool CVNDisplayControl::Draw(QPainter& dc) {
    const QRect box = BoundingBox();
    // The display is composed on a copy of the face kept between draws: face,
    // flood fill, texts, overlay. Only a line whose text, offset or colour
    // changed is composed again; the filled face changes only with the
    // resolution of the window's surface, which the display is composed at.
    const qreal ratio = dc.device() != nullptr ? dc.device()->devicePixelRatioF() : 1.0;
    if (filledFace_.isNull() || filledFace_.devicePixelRatio() != ratio) {
        filledFace_ = DisplayGlyphs::Canvas(box.size(), ratio);
        {
            QPainter painter(&filledFace_);
            if (face_ != nullptr) {
                painter.setCompositionMode(QPainter::CompositionMode_Source);
                face_->Draw(painter, QPoint(0, 0), box);
            }
        }
        FloodFillToBorder(filledFace_, QPoint(0, 0), kWhite, kWhite);
        canvas_ = QImage();
    }
    const bool fresh = canvas_.isNull();
    if (fresh) {
        canvas_ = filledFace_.copy();
    }
    QRegion changed;
    {
        QPainter painter(&canvas_);
        const QRect line1 = line1Rect_.translated(-box.topLeft());
        const QRect line2 = line2Rect_.translated(-box.topLeft());
        std::lock_guard lock(textMutex_);
        if (fresh || line1Dirty_) {
            ComposeLine(painter, line1, VisibleLine1Locked(), line1.left() + kTextMargin,
                        hover_.load() && clickable_.load() ? kLinkGreen : QColor(Qt::black));
            changed += line1Rect_;
        }
        if (fresh || line2Dirty_) {
            const double width = CellWidth() * static_cast<double>(line2_.size());
            ComposeLine(painter, line2, line2_, line2.left() + (line2.width() - width) / 2.0,
                        Qt::black);
            changed += line2Rect_;
        }
        line1Dirty_ = false;
        line2Dirty_ = false;
    }
    changedByLastDraw_ = changed;
    dc.setCompositionMode(QPainter::CompositionMode_Source);
    dc.drawImage(box.topLeft(), canvas_);
    return true;
}

void CVNDisplayControl::ComposeLine(QPainter& painter, const QRect& line, const std::string& text,
                                    double left, QColor colour) {
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setClipRect(line);
    painter.drawImage(QPoint(0, 0), filledFace_);
    painter.restore();
    if (!text.empty()) Glyphs().DrawLine(painter, line, text, left, colour);
    if (overlay_ != nullptr) {
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        overlay_->Draw(painter, line.topLeft(), line.translated(BoundingBox().topLeft()));
    }
}

QString CVNDisplayControl::AccessibleName() const {
    std::lock_guard lock(textMutex_);
    return spokenLine1_;
}

QString CVNDisplayControl::AccessibleDescription() const {
    std::lock_guard lock(textMutex_);
    return spokenLine2_;
}

QStringList CVNDisplayControl::AccessibleActions() const {
    if (!clickable_.load()) return {};
    return {QAccessibleActionInterface::pressAction()};
}

bool CVNDisplayControl::DoAccessibleAction(const QString& action) {
    if (action != QAccessibleActionInterface::pressAction() || !clickable_.load()) return false;
    CallBack(kCodeClick);
    return true;
}

QRegion CVNDisplayControl::ChangedByLastDraw() const {
    return changedByLastDraw_;
}

bool CVNDisplayControl::OnMouse(int event, int x, int y, unsigned /*keyFlags*/) {
    const bool inside = HitTest(event, x, y);
    switch (event) {
        case MOUSE_LBUTTONDOWN:
            return inside && clickable_.load();
        case MOUSE_LBUTTONUP:
            if (!inside) {
                return false;
            }
            if (clickable_.load()) {
                CallBack(kCodeClick);
            }
            return true;
        case MOUSE_MOVE:
            if (hover_.exchange(inside) != inside && clickable_.load()) {
                TitleColourChanged();  // green under the pointer, black off it
            }
            return inside;
        case MOUSE_SETCURSOR:
            if (hover_.load() && clickable_.load()) {
                if (Owner() != nullptr) {
                    Owner()->SetControlCursor(Qt::PointingHandCursor);
                }
                return true;
            }
            return false;
        default:
            return false;
    }
}

}  // namespace vorn
