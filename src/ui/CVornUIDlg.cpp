#include "ui/CVornUIDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "foundation/LogEntry.h"
#include "foundation/Preferences.h"
#include "foundation/ServerConfig.h"
#include "library/VornPlaylist.h"
#include "library/VornPlaylistItem.h"
#include "ui/COptionsDialog.h"
#include "ui/CSkinButton.h"
#include "ui/CSkinImage.h"
#include "ui/CVNDisplayControl.h"
#include "ui/CVNRatingControl.h"
#include "ui/CVornAboutDlg.h"
#include "ui/ControlCallback.h"
#include "ui/HotKeys.h"
#include "ui/MenuCommands.h"
#include "server/ServerConstants.h"
#include "ui/SkinAreas.h"
#include "ui/TrayIcon.h"
#include "ui/WindowSystem.h"
#include "ui/WindowSystemPosition.h"

namespace vorn {
namespace {

enum Image { kForwardPressed, kButtonsUp, kBackPressed, kPausePressed, kPauseUp, kPlayPressed,
             kStarsOff, kStarsOn, kDisplayFace, kDisplayOverlay };

constexpr const char* kImageFiles[10] = {
    "./resources/vorn forward click.png",   "./resources/buttons up stars off.png",
    "./resources/vorn back click.png",      "./resources/vorn pause button click.png",
    "./resources/vorn pause button.png",    "./resources/vorn play button click.png",
    "./resources/vorn background.png",      "./resources/vorn stars on.png",
    "./resources/vorn white display.png",   "./resources/transparent menu screen.png",
};
constexpr const char* kIconFile = "./resources/vorn icon.png";

// The part of each picture its controls draw; the rest of it never shows.
QRect KeptArea(Image which) {
    switch (which) {
        case kForwardPressed: return SkinAreas::ForwardButton().boundingRect();
        case kBackPressed: return SkinAreas::BackButton().boundingRect();
        case kButtonsUp:
            return (SkinAreas::ForwardButton() + SkinAreas::BackButton() + SkinAreas::PlayButton()).boundingRect();
        case kPausePressed:
        case kPauseUp:
        case kPlayPressed: return SkinAreas::PlayButton().boundingRect();
        case kStarsOn: return SkinAreas::RatingControl().boundingRect();
        case kDisplayFace:
        case kDisplayOverlay: return SkinAreas::DisplayControl().boundingRect();
        case kStarsOff: break;  // the window's background, all of it
    }
    return QRect();
}

bool IsWebLink(const std::string& url) {
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

}  // namespace

CVornUIDlg::CVornUIDlg(UiThread& uiThread, PicturePreload* preloaded) : CSkinDialog(nullptr), VornPlayer(uiThread) {
    // Pictures decoded ahead (at 1x) are taken one after the other; without
    // them the pictures are decoded two at a time: this early in the start the
    // machine's other core is idle. All ten are there before the window is, so
    // one that cannot be decoded still stops the start.
    const double ratio = SkinPixelRatio();
    PicturePreload* const ahead = ratio <= 1.0 ? preloaded : nullptr;
    const auto load = [this, ratio, ahead](std::size_t first, std::size_t step) {
        for (std::size_t i = first; i < images_.size(); i += step) {
            images_[i] =
                std::make_unique<CSkinImage>(kImageFiles[i], ratio, KeptArea(static_cast<Image>(i)), ahead);
        }
    };
    if (ahead != nullptr) {
        load(0, 1);
    } else {
        std::jthread other(load, 1, 2);
        load(0, 2);
    }
    // Through the skin's decoder: Qt's own image reader would first load every
    // image format plugin installed. A missing icon leaves the window manager's.
    if (const CSkinImage icon(kIconFile, 1.0, QRect(), preloaded); icon.IsValid()) {
        icon_ = QIcon(QPixmap::fromImage(icon.Image().copy()));
    }
    SetBackground(images_[kStarsOff].get());
    setWindowTitle(QString::fromLatin1(kTitle));
}

std::vector<std::string> CVornUIDlg::PictureFiles() {
    std::vector<std::string> files(std::begin(kImageFiles), std::end(kImageFiles));
    files.emplace_back(kIconFile);
    return files;
}

CVornUIDlg::~CVornUIDlg() {
    // A window still shown goes the way a hidden one does, its last frame
    // answered, while all of it is still here to serve the events meanwhile.
    hide();
    // The player first: its download threads may still show texts on the display.
    Shutdown();
    uiReady_ = false;
    if (tray_) tray_->Remove();
    if (hotKeys_ && Preferences::Global().GetHotKeys()) hotKeys_->Unregister();
    hotKeys_.reset();
    playButton_.reset();
    forwardButton_.reset();
    backButton_.reset();
    displayOwner_.reset();
    display_ = nullptr;
    ratingControl_.reset();
}

std::string CVornUIDlg::SkinError() const {
    for (const auto& image : images_) {
        if (!image->IsValid()) return image->Error();
    }
    return std::string();
}

void CVornUIDlg::showEvent(QShowEvent* event) {
    CSkinDialog::showEvent(event);
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
        // A window that the window system never draws (started minimised, on
        // another desktop) finishes all the same.
        QTimer::singleShot(kFirstFrameWaitMs, this, [this] { FinishInitialisation(); });
    }
}

void CVornUIDlg::paintEvent(QPaintEvent* event) {
    CSkinDialog::paintEvent(event);
    if (initialised_ && !firstFramePainted_) {
        firstFramePainted_ = true;
        // On a timer, not a posted event: the event loop sends the frame just
        // painted to the window system before it turns to its timers.
        QTimer::singleShot(0, this, [this] { FinishInitialisation(); });
    }
}

void CVornUIDlg::FinishInitialisation() {
    if (firstFrameDone_ || finished_) return;
    firstFrameDone_ = true;
    // The window system draws the frame before the rest takes the processor.
    if (firstFramePainted_) WindowSystem::WaitUntilTaken();
    OnFirstFrame();
    // Start-up connects from here on: whatever the station's answers reach
    // (the display, the tray, the desktop's media controls) is in place.
    windowReady_.Set();
    OnWindowReady();
}

void CVornUIDlg::OnInitDialog() {
    hidden_ = false;
    setWindowTitle(QString::fromLatin1(kTitle));
    // Before the window is mapped: the window manager reads the icon as it
    // takes the window on, rather than while the listener is already using it.
    setWindowIcon(icon_);
    ComputeWindowShape();

    callbacks_[0] = std::make_unique<ControlCallback>(this, &CVornUIDlg::OnForwardButton);
    callbacks_[1] = std::make_unique<ControlCallback>(this, &CVornUIDlg::OnBackButton);
    callbacks_[2] = std::make_unique<ControlCallback>(this, &CVornUIDlg::OnPlayButton);
    callbacks_[3] = std::make_unique<ControlCallback>(this, &CVornUIDlg::OnRate);
    callbacks_[4] = std::make_unique<ControlCallback>(this, &CVornUIDlg::OnDisplayClick);
    const auto image = [this](Image which) { return images_[which].get(); };
    forwardButton_ = std::make_unique<CSkinButton>("CVNForwardButton", this, SkinAreas::ForwardButton(),
                                                   callbacks_[0].get(), image(kForwardPressed), image(kButtonsUp));
    backButton_ = std::make_unique<CSkinButton>("CVNBackButton", this, SkinAreas::BackButton(), callbacks_[1].get(),
                                                image(kBackPressed), image(kButtonsUp));
    playButton_ = std::make_unique<CSkinButton>("CVNPlayButton", this, SkinAreas::PlayButton(), callbacks_[2].get(),
                                                image(kPausePressed), image(kPauseUp), image(kPlayPressed),
                                                image(kButtonsUp));
    ratingControl_ = std::make_unique<CVNRatingControl>("CVNRatingControl", this, SkinAreas::RatingControl(),
                                                        callbacks_[3].get(), image(kStarsOff), image(kStarsOn));
    displayOwner_ = std::make_unique<CVNDisplayControl>("CVNDisplayControl", this, SkinAreas::DisplayControl(),
                                                        callbacks_[4].get(), image(kDisplayOverlay),
                                                        image(kDisplayFace));
    AddControl(forwardButton_.get(), 0);
    AddControl(backButton_.get(), 0);
    AddControl(playButton_.get(), 1);
    AddControl(ratingControl_.get(), 1);
    AddControl(displayOwner_.get(), 1);

    // The keyboard and screen readers: Tab visits play, back, forward, the
    // stars and the title, in that order.
    playButton_->SetAccessibleNames(QStringLiteral("Play"), QStringLiteral("Pause"));
    backButton_->SetAccessibleName(QStringLiteral("Previous"));
    backButton_->SetHoldAction(QStringLiteral("Seek back"));
    forwardButton_->SetAccessibleName(QStringLiteral("Next"));
    forwardButton_->SetHoldAction(QStringLiteral("Seek forward"));
    ratingControl_->SetAccessibleName(QStringLiteral("Rating"));
    playButton_->SetFocusOutline(SkinAreas::PlayOutline());
    backButton_->SetFocusOutline(SkinAreas::BackOutline());
    forwardButton_->SetFocusOutline(SkinAreas::ForwardOutline());
    ratingControl_->SetFocusOutline(SkinAreas::RatingOutline());
    displayOwner_->SetFocusOutline(SkinAreas::DisplayOutline());
    SetFocusChain({playButton_.get(), backButton_.get(), forwardButton_.get(), ratingControl_.get(),
                   displayOwner_.get()});
    PlayerStateChanged();
    SetDraggable(true);
}

void CVornUIDlg::OnFirstFrame() {
    // The preferences are read here, not before the first frame: on a first
    // start they write their defaults to the store, which waits for the disk.
    Preferences& preferences = Preferences::Global();
    hotKeys_ = std::make_unique<HotKeys>([this](int id) { OnHotKey(id); });
    RegisterHotKeys(preferences.GetHotKeys());
    if (preferences.GetAlwaysOnTop()) {
        SetTopmost(true);
    }
    displayOwner_->PrepareFont();
    display_ = displayOwner_.get();
    uiReady_ = true;
    tray_ = std::make_unique<TrayIcon>(icon_, [this] { ToggleHidden(); }, [this] { ShowTrayMenu(); });
    tray_->Add();
}

// ---------------------------------------------------------------- handlers

bool CVornUIDlg::OnPlayButton(int code) {
    if (code != CSkinButton::kCodeClick) {
        return false;
    }
    return playButton_ && playButton_->IsPlayingLook() ? Pause() : Play();
}

bool CVornUIDlg::OnForwardButton(int code) {
    return OnRingButton(code, [this] { return Next(); }, [this] { return SeekForward(); });
}

bool CVornUIDlg::OnBackButton(int code) {
    return OnRingButton(code, [this] { return Previous(); }, [this] { return SeekBack(); });
}

bool CVornUIDlg::OnRingButton(int code, const std::function<bool()>& move, const std::function<bool()>& seek) {
    if (code == CSkinButton::kCodeClick) {
        const bool moved = move();
        if (moved && playButton_) playButton_->SetPlayingLook();
        return moved;
    }
    if (code == CSkinButton::kCodeHoldRepeat) {
        return seek();
    }
    return false;
}

bool CVornUIDlg::OnRate(int rating) {
    VornPlaylistItem* item = CurrentItem();
    if (item == nullptr) {
        return false;
    }
    ratingControl_->SetRating(rating);
    item->SetRating(rating);
    const bool rated = RateItem(item->GetRecommendation().ItemId(), rating, true);
    RatingAnswered();
    OnRatingChanged();
    return rated;
}

bool CVornUIDlg::OnDisplayClick(int /*code*/) {
    if (VornPlaylistItem* item = CurrentItem(); item != nullptr) {
        const std::string link = item->SourceUrl();
        // Links come from the server: only web pages are opened.
        if (IsWebLink(link)) {
            OpenUrl(link);
        } else {
            VORN_LOG(LogLevel::Warning) << "CVornUIDlg : Not opening source link " << link;
        }
    }
    return true;
}

std::string CVornUIDlg::FormatTime(int position, int duration) {
    const auto parts = [](int seconds, int out[5]) {
        if (seconds < 0) seconds = 0;
        const int minutes = (seconds % 3600) / 60;
        const int rest = seconds % 60;
        out[0] = seconds / 3600;
        out[1] = minutes / 10;
        out[2] = minutes % 10;
        out[3] = rest / 10;
        out[4] = rest % 10;
    };
    // A decoder's last position can pass the length it reported (an MP3's
    // padding, a length estimated from its bitrate): the end shows as the end,
    // not as a second past it while the rating is asked for.
    if (duration > 0 && position > duration) {
        position = duration;
    }
    int p[5];
    int d[5];
    parts(position, p);
    parts(duration, d);
    char text[64];
    std::snprintf(text, sizeof text, "%d:%1d%1d:%1d%1d / %d:%1d%1d:%1d%1d", p[0], p[1], p[2], p[3], p[4], d[0], d[1],
                  d[2], d[3], d[4]);
    return text;
}

void CVornUIDlg::ShowTime(int position, int duration) {
    if (HasCurrentItem() && display_ != nullptr) {
        display_->SetLine2(FormatTime(position, duration));
    }
}

// ---------------------------------------------------------------- PlayerUi

bool CVornUIDlg::StartPlayback() {
    PostMessage(MSG_PLAY);
    if (playButton_) playButton_->SetPlayingLook();
    return true;
}

bool CVornUIDlg::PausePlayback() {
    PostMessage(MSG_PAUSE);
    if (playButton_) playButton_->SetStoppedLook();
    return true;
}

bool CVornUIDlg::SeekForward() {
    PostMessage(MSG_SEEKFORWARD);
    return true;
}

bool CVornUIDlg::SeekBack() {
    PostMessage(MSG_SEEKBACK);
    return true;
}

bool CVornUIDlg::SetMedia(VornPlaylistItem* item) {
    if (item != nullptr) {
        if (display_ != nullptr) display_->SetClickable(true);
        SendMessage(MSG_SETMEDIA, MessageArgs::Text(item->FullPath()));
        if (ratingControl_) ratingControl_->SetRating(item->Rating());
    } else {
        if (display_ != nullptr) display_->SetClickable(false);
        SendMessage(MSG_SETMEDIA, MessageArgs{});
    }
    return IsMediaLoaded();
}

bool CVornUIDlg::SetDisplayText(const std::string& line1, const std::string& line2) {
    if (!uiReady_) {
        return false;
    }
    if (!line1.empty()) {
        display_->SetLine1(line1);
        bool changed = false;
        {
            std::lock_guard lock(loggedTextMutex_);
            changed = line1 != loggedText_;
            if (changed) loggedText_ = line1;
        }
        if (changed) {
            VORN_LOG(LogLevel::Info) << "Display : " << line1;
        }
    }
    if (!line2.empty()) display_->SetLine2(line2);
    return true;
}

bool CVornUIDlg::AskForRating() {
    if (!IsWindowThread()) {
        // Widgets are only touched on the window thread.
        QMetaObject::invokeMethod(this, [this] { AskForRating(); }, Qt::QueuedConnection);
        return true;
    }
    // On Wayland Qt asks the compositor with an xdg-activation token where it
    // offers that protocol; where it does not, the window stays where it is and
    // the stars' sweep and the notice ask alone.
    VORN_LOG(LogLevel::Info) << "Rating wanted";
    showNormal();
    raise();
    activateWindow();
    if (ratingControl_) ratingControl_->StartAnimation();
    // Asked again (another Next on the unrated item), it is announced again.
    ratingWanted_ = true;
    SetAlert(QString());
    SetAlert(QString::fromLatin1(kRatingWantedAlert));
    if (ratingControl_) SetFocusedControl(ratingControl_.get());
    PlayerStateChanged();
    OnRatingWanted();
    return true;
}

void CVornUIDlg::RatingAnswered() {
    ratingWanted_ = false;
    SetAlert(QString());
    PlayerStateChanged();
}

QString CVornUIDlg::StateText() const {
    QString text = playButton_ && playButton_->IsPlayingLook() ? QStringLiteral("Playing")
                   : HasCurrentItem()                          ? QStringLiteral("Paused")
                                                               : QStringLiteral("Stopped");
    if (ratingWanted_) text += QStringLiteral(", waiting for a rating");
    if (offline_) text += QStringLiteral(", offline");
    return text;
}

void CVornUIDlg::MediaChanged() {
    RatingAnswered();  // a rating that was wanted was for the item before
}

void CVornUIDlg::PlayerStateChanged() {
    const QString text = StateText();
    if (text != accessibleDescription()) setAccessibleDescription(text);
}

void CVornUIDlg::OnConnectionChanged(bool online) {
    // Queued: the worker calls this, and a window being torn down drops it.
    QMetaObject::invokeMethod(
        this, [this, online] {
            if (tray_) tray_->SetOffline(!online);
            offline_ = !online;
            PlayerStateChanged();
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------- messages

std::int64_t CVornUIDlg::HandleMessage(unsigned message, const MessageArgs& args) {
    if (message == MSG_SHUTDOWN) {
        Finish(kResultOk);
        return 0;
    }
    return CSkinDialog::HandleMessage(message, args);
}

int CVornUIDlg::RunModal() {
    show();
    if (!finished_) {
        QEventLoop loop;
        modalLoop_ = &loop;
        loop.exec(QEventLoop::DialogExec);
        modalLoop_ = nullptr;
    }
    return *finished_;
}

void CVornUIDlg::Finish(int result) {
    if (tray_) tray_->Remove();
    finished_ = result;
    done(result);
    if (modalLoop_ != nullptr) modalLoop_->exit(result);
}

void CVornUIDlg::reject() { Finish(kResultCancel); }

void CVornUIDlg::closeEvent(QCloseEvent* event) {
    // The window system's close is the cancel of the dialog: the program starts over.
    event->ignore();
    if (isVisible()) Finish(kResultCancel);
}

// ---------------------------------------------------------------- menus

std::unique_ptr<QMenu> CVornUIDlg::BuildMenu(bool forTray) {
    Preferences& preferences = Preferences::Global();
    auto menu = std::make_unique<QMenu>();
    menu->setObjectName("IDR_MENU");
    const auto add = [this](QMenu* to, const char* text, int id) {
        QAction* action = to->addAction(QString::fromLatin1(text));
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
        return action;
    };
    add(menu.get(), "Help", ID_HELP);
    QMenu* options = menu->addMenu("Options");
    QMenu* display = options->addMenu("Display");
    QAction* onTop = add(display, "Always On Top", ID_ALWAYS_ON_TOP);
    QAction* normal = add(display, "Normal", ID_NORMAL);
    onTop->setEnabled(!preferences.GetAlwaysOnTop());
    normal->setEnabled(preferences.GetAlwaysOnTop());
    if (!WindowSystem::CanKeepOnTop()) {
        onTop->setEnabled(false);
        normal->setEnabled(false);
        onTop->setToolTip(QString::fromLatin1(WindowSystem::kNoKeepOnTop));
        display->setToolTipsVisible(true);
    }
    QMenu* hotkeys = options->addMenu("Hotkeys");
    QAction* enable = add(hotkeys, "Enable", ID_HOTKEYS_ENABLE);
    QAction* disable = add(hotkeys, "Disable", ID_HOTKEYS_DISABLE);
    if (!forTray) {
        enable->setEnabled(!preferences.GetHotKeys());
        disable->setEnabled(preferences.GetHotKeys());
    }
    add(options, "Preferences", ID_PREFERENCES);
    QMenu* media = menu->addMenu("Media");
    add(media, "Open Media Folder", ID_OPEN_MEDIA_FOLDER);
    QMenu* purge = media->addMenu("Delete 1 and 2 Star Media");
    add(purge, "Confirm", ID_DELETE_LOW_RATED);
    add(menu.get(), "Feedback", ID_FEEDBACK);
    add(menu.get(), "About", ID_ABOUT);
    menu->addSeparator();
    add(menu.get(), "Exit", ID_EXIT);
    return menu;
}

void CVornUIDlg::contextMenuEvent(QContextMenuEvent* event) {
    OpenContextMenu(event->reason() == QContextMenuEvent::Keyboard ? AtFocus() : event->globalPos());
}

QPoint CVornUIDlg::AtFocus() const {
    return mapToGlobal(FocusedControl() != nullptr ? FocusedControl()->BoundingBox().center() : rect().center());
}

void CVornUIDlg::OpenContextMenu(const QPoint& globalPosition) {
    std::unique_ptr<QMenu> menu = BuildMenu(false);
    menu->exec(globalPosition);
}

void CVornUIDlg::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const int key = event->key();
    if (modifiers == Qt::NoModifier && key >= Qt::Key_1 && key <= Qt::Key_5) {
        OnRate(key - Qt::Key_0);
        event->accept();
        return;
    }
    if (modifiers == Qt::NoModifier && (key == Qt::Key_Left || key == Qt::Key_Right)) {
        // A held key repeats far faster than a held button: steps keep the button's pace.
        if (!event->isAutoRepeat() || !lastKeySeek_.isValid() || lastKeySeek_.elapsed() >= TIMER_CONTROL_TICK_MS) {
            lastKeySeek_.start();
            if (key == Qt::Key_Left) {
                OnBackButton(CSkinButton::kCodeHoldRepeat);
            } else {
                OnForwardButton(CSkinButton::kCodeHoldRepeat);
            }
        }
        event->accept();
        return;
    }
    if ((key == Qt::Key_Menu && modifiers == Qt::NoModifier) ||
        (key == Qt::Key_F10 && modifiers == Qt::ShiftModifier)) {
        event->accept();
        OpenContextMenu(AtFocus());
        return;
    }
    CSkinDialog::keyPressEvent(event);
}

void CVornUIDlg::ShowTrayMenu() {
    std::unique_ptr<QMenu> menu = BuildMenu(true);
    activateWindow();
    menu->exec(QCursor::pos() - QPoint(menu->sizeHint().width(), 0));
}

bool CVornUIDlg::TrayShown() const { return tray_ && tray_->IsShown(); }

void CVornUIDlg::ShowFromDesktop() {
    if (hidden_) {
        ToggleHidden();
        return;
    }
    showNormal();
    raise();
    activateWindow();
}

void CVornUIDlg::ToggleHidden() {
    if (hidden_) {
        showNormal();
        raise();
        activateWindow();
        hidden_ = false;
    } else if (TrayShown()) {  // never hide out of reach
        WindowSystemPosition::Resync(*this);  // shown again where it was
        hide();
        hidden_ = true;
    }
}

void CVornUIDlg::OnCommand(int id) {
    Preferences& preferences = Preferences::Global();
    switch (id) {
        case ID_HELP:
            OpenUrl(ServerConfig::HelpPageUrl());
            break;
        case ID_ALWAYS_ON_TOP:
            preferences.SetAlwaysOnTop(true);
            SetTopmost(true);
            break;
        case ID_NORMAL:
            preferences.SetAlwaysOnTop(false);
            SetTopmost(false);
            break;
        case ID_HOTKEYS_ENABLE:
            preferences.SetHotKeys(true);
            RegisterHotKeys(true);
            break;
        case ID_HOTKEYS_DISABLE:
            preferences.SetHotKeys(false);
            RegisterHotKeys(false);
            break;
        case ID_PREFERENCES:
            // A media folder that cannot be changed shows the dialog again.
            while (RunOptionsDialog() && !ApplyPreferences()) {
            }
            break;
        case ID_OPEN_MEDIA_FOLDER:
            OpenUrl(QUrl::fromLocalFile(QString::fromStdString(Playlist().MediaFolder())).toString().toStdString());
            break;
        case ID_DELETE_LOW_RATED:
            DeleteLowRatedMedia();
            break;
        case ID_FEEDBACK:
            OpenUrl(ServerConfig::kFeedbackMailto);
            break;
        case ID_ABOUT:
            RunAboutBox();
            break;
        case ID_EXIT:
            Finish(kResultOk);
            break;
        default:
            break;
    }
}

void CVornUIDlg::OnHotKey(int id) {
    switch (id) {
        case HOTKEY_PLAY:
        case HOTKEY_MEDIA_PLAY:
            OnPlayButton(CSkinButton::kCodeClick);
            break;
        case HOTKEY_NEXT:
        case HOTKEY_MEDIA_NEXT:
            Next();
            break;
        case HOTKEY_PREVIOUS:
        case HOTKEY_MEDIA_PREVIOUS:
            Previous();
            break;
        default:
            if (id >= HOTKEY_RATE_1 && id < HOTKEY_RATE_1 + 5) {
                OnRate(id - HOTKEY_RATE_1 + 1);
            }
            break;
    }
}

void CVornUIDlg::SetTopmost(bool on) {
    if (!WindowSystem::CanKeepOnTop()) return;  // the preference waits for a desktop that allows it
    Qt::WindowFlags flags = windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, on);
    QWindow* handle = windowHandle();
    if (handle == nullptr) {
        setWindowFlags(flags);
        return;
    }
    // QWidget::setWindowFlags would hide the window and make its native window
    // again (the music's window gone for a moment, its place forgotten); the
    // window system is only asked to change the stacking of the window it has.
    overrideWindowFlags(flags);
    handle->setFlags(flags);
}

void CVornUIDlg::ApplyHotKeys() { RegisterHotKeys(Preferences::Global().GetHotKeys()); }

void CVornUIDlg::RegisterHotKeys(bool on) {
    if (!hotKeys_) return;
    if (RegisterDesktopKeys(on)) {
        hotKeys_->Unregister();  // the desktop's way serves instead
        return;
    }
    if (on && WindowSystem::IsWayland()) {
        // No client grabs keys beyond its own windows on Wayland: without the
        // portal's shortcuts there are none (the media controls still work).
        VORN_LOG(LogLevel::Info) << "HotKeys : On Wayland only the desktop portal's global shortcuts serve";
        return;
    }
    if (on) {
        hotKeys_->Register();
    } else {
        hotKeys_->Unregister();
    }
}

bool CVornUIDlg::ApplyPreferences() {
    Preferences& preferences = Preferences::Global();
    // Before the media folder, whose failure reopens the dialog: the host is already stored.
    FollowStationHost();
    RegisterHotKeys(preferences.GetHotKeys());
    SetTopmost(preferences.GetAlwaysOnTop());
    OnPreferencesApplied();
    if (ChangeMediaFolder(preferences.GetMediaDir())) {
        return true;
    }
    ShowMessage(QMessageBox::Critical, "Error Resetting Media folder",
                "There was an error resetting the media folder. Please re-enter the path you wish to use.",
                QMessageBox::Ok);
    return false;
}

// ---------------------------------------------------------------- the station host

std::unique_ptr<StationReconnector> CVornUIDlg::MakeReconnector() {
    return std::make_unique<StationReconnector>(*this, ServerConfig::Host());
}

std::int32_t CVornUIDlg::StationPort() const { return SERVER_PORT; }

void CVornUIDlg::StopOwnThreads(std::uint32_t waitMs) { reconnector_->Stop(waitMs); }

void CVornUIDlg::FollowStationHost() { reconnector_->Follow(ServerConfig::Host(), StationPort()); }

// ---------------------------------------------------------------- the desktop

void CVornUIDlg::OpenUrl(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

int CVornUIDlg::ShowMessage(int icon, const std::string& caption, const std::string& text, int buttons) {
    WindowSystemPosition::Resync(*this);  // centred over the player, wherever it is
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), QString::fromStdString(caption),
                    QString::fromStdString(text), static_cast<QMessageBox::StandardButtons>(buttons), this);
    return box.exec();
}

void CVornUIDlg::CentreOverWindow(QWidget& dialog) {
    WindowSystemPosition::Resync(*this);
    // Qt would centre the dialog's frame by a guessed frame size; the window
    // system places the dialog's own area where it is asked to, so ask for
    // exactly the centre, kept on the screen.
    const QSize size = dialog.size();
    QRect place(geometry().center() - QPoint(size.width() / 2, size.height() / 2), size);
    if (const QScreen* screen = this->screen(); screen != nullptr) {
        const QRect available = screen->availableGeometry();
        place.moveLeft(std::clamp(place.left(), available.left(), std::max(available.left(), available.right() - size.width())));
        place.moveTop(std::clamp(place.top(), available.top(), std::max(available.top(), available.bottom() - size.height())));
    }
    dialog.setGeometry(place);  // the dialog's own area, not its frame
}

bool CVornUIDlg::RunOptionsDialog() {
    COptionsDialog dialog(this);
    CentreOverWindow(dialog);
    return dialog.exec() == QDialog::Accepted;
}

void CVornUIDlg::RunAboutBox() {
    CVornAboutDlg about(this);
    CentreOverWindow(about);
    about.exec();
}

}  // namespace vorn
