#pragma once

#include <QElapsedTimer>
#include <QIcon>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AutoResetEvent.h"
#include "player/VornPlayer.h"
#include "ui/CSkinDialog.h"
#include "ui/StationReconnector.h"

class QEventLoop;
class QMenu;

namespace vorn {

class CSkinButton;
class CSkinImage;
class PicturePreload;
class CVNDisplayControl;
class CVNRatingControl;
class ControlCallback;
class HotKeys;
class TrayIcon;

// The program's one window: the skin with its five controls, and the player's
// user interface. It owns the menus, the hot keys, the timers and the tray icon.
//
// Threads: the window lives on the application's thread (the window thread).
// The player's own threads reach it only through SetDisplayText (the display
// guards its texts) and posted messages; SetMedia and AskForRating run on the
// window thread. No thread that holds the playlist's lock ever waits for this
// window: downloads hand their "start playing" over as posted work.
//
// Media playback is the business of the class above this one
// (CVornUIDlgDirectShow); StartPlayback and PausePlayback only post MSG_PLAY and
// MSG_PAUSE to it.
class CVornUIDlg : public CSkinDialog, public VornPlayer {
public:
    static constexpr const char* kTitle = "Vorn Custom Radio";
    // What a screen reader announces when a track ends unrated.
    static constexpr const char* kRatingWantedAlert = "Rate this track to continue";

    // Loads the ten skin images and the icon (relative to the working folder;
    // those `preloaded` decoded are taken from it) and builds the player. The
    // controls come with the window's initialisation.
    explicit CVornUIDlg(UiThread& uiThread, PicturePreload* preloaded = nullptr);
    ~CVornUIDlg() override;

    // The window has finished its initialisation / its modal loop has ended.
    AutoResetEvent& WindowReady() { return windowReady_; }
    AutoResetEvent& WindowClosed() { return windowClosed_; }
    bool IsUiReady() const { return uiReady_; }
    // The first image that could not be loaded, or empty.
    std::string SkinError() const;
    // The picture files the constructor reads, for a PicturePreload.
    static std::vector<std::string> PictureFiles();

    // Control handlers (the controls' callbacks call them).
    virtual bool OnPlayButton(int code);
    virtual bool OnForwardButton(int code);
    virtual bool OnBackButton(int code);
    virtual bool OnDisplayClick(int code);
    bool OnRate(int rating);
    // The position and duration (whole seconds) on the display's second line.
    void ShowTime(int position, int duration);
    static std::string FormatTime(int position, int duration);

    // PlayerUi.
    bool StartPlayback() override;
    bool PausePlayback() override;
    bool SeekForward() override;
    bool SeekBack() override;
    bool SetMedia(VornPlaylistItem* item) override;
    bool SetDisplayText(const std::string& line1, const std::string& line2 = std::string()) override;
    bool AskForRating() override;
    // The tray's tip says "Offline" while the station cannot be reached.
    void OnConnectionChanged(bool online) override;

    // The window's modal loop: shows the window and runs until Exit, Escape, the
    // window system's close or MSG_SHUTDOWN ends it, and returns that result.
    // Nothing else ends it: hiding the window (the tray, a window manager's
    // minimise, a change of its flags) is not an ending. The window does not
    // block input to other windows, so the tray icon answers while it runs.
    int RunModal();

    // Escape and the dialog's cancel: the window ends with 2 and the program starts over.
    void reject() override;

    // Menu commands and hot keys.
    void OnCommand(int id);
    void OnHotKey(int id);
    // The popup of the context menu (forTray: the tray's version).
    std::unique_ptr<QMenu> BuildMenu(bool forTray);
    bool IsHidden() const { return hidden_; }
    // Shows the window, also from the tray, and brings it forward.
    void ShowFromDesktop();
    // Takes or releases the hot keys as the preferences say.
    void ApplyHotKeys();
    bool TrayShown() const;
    // Opens the context menu with its top-left corner at `globalPosition`.
    void OpenContextMenu(const QPoint& globalPosition);
    // The window's state as assistive technologies read it in its description:
    // "Playing", "Paused" or "Stopped", then ", waiting for a rating" and ", offline".
    QString StateText() const;

    CSkinButton* PlayButton() const { return playButton_.get(); }
    CSkinButton* ForwardButton() const { return forwardButton_.get(); }
    CSkinButton* BackButton() const { return backButton_.get(); }
    CVNDisplayControl* Display() const { return display_; }
    CVNRatingControl* RatingControl() const { return ratingControl_.get(); }

    // Ways out to the desktop, on the window thread; tests replace them.
    virtual void OpenUrl(const std::string& url);
    // A modal message box owned by the window; returns the QMessageBox button pressed.
    virtual int ShowMessage(int icon, const std::string& caption, const std::string& text, int buttons);

    // How long the rest of the initialisation waits for the first frame at most.
    static constexpr int kFirstFrameWaitMs = 250;

protected:
    // What the first frame shows: the shape, the title (and the icon) and the
    // controls. Runs once, when first shown.
    virtual void OnInitDialog();
    // The rest of the initialisation, once the first frame has gone to the
    // window system (or kFirstFrameWaitMs after the window was shown, for one
    // that is not drawn): the hot keys, the window kept on top, the display's
    // font, the tray icon. The window-ready event, which lets start-up
    // connect, follows it; what the listener sees first waits for none of it.
    virtual void OnFirstFrame();
    // Right after the window-ready event.
    virtual void OnWindowReady() {}
    std::int64_t HandleMessage(unsigned message, const MessageArgs& args) override;
    // Shows the options dialog modally; true when it ended with OK.
    virtual bool RunOptionsDialog();
    // Places a dialog of this window centred over it (on the screen).
    void CentreOverWindow(QWidget& dialog);
    virtual void RunAboutBox();
    // The current item's rating changed (the player's state otherwise reaches
    // the class above through its messages).
    virtual void OnRatingChanged() {}
    // AskForRating has brought the window forward for a rating.
    virtual void OnRatingWanted() {}
    // Playing or paused, or another item (MediaChanged): the state told to
    // screen readers follows.
    void PlayerStateChanged();
    void MediaChanged();
    // Takes (on) or releases the hot keys some other way than the grab on the
    // X display; false when there is none.
    virtual bool RegisterDesktopKeys(bool /*on*/) { return false; }
    // After OK in the options: the desktop and playback switches may have changed.
    virtual void OnPreferencesApplied() {}

    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // The window's own keys, whichever control has the focus: 1 to 5 rate,
    // Left and Right seek as holding back and forward does (one step per
    // button tick however fast the key repeats), the Menu key or Shift+F10
    // opens the menu at the focused control. Keys with Alt or Control are the
    // hot keys' and pass on untouched.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The back and forward halves of the ring: a click moves (the play button
    // then shows "pause"), holding seeks.
    bool OnRingButton(int code, const std::function<bool()>& move, const std::function<bool()>& seek);
    void SetTopmost(bool on);
    void RegisterHotKeys(bool on);
    // Applies the options after OK; false when the media folder could not change.
    bool ApplyPreferences();
    void ToggleHidden();
    void ShowTrayMenu();
    void Finish(int result);
    // OnFirstFrame, the window-ready event and OnWindowReady, once, unless
    // the window has already ended.
    void FinishInitialisation();
    // The rating is no longer wanted (given, or another item).
    void RatingAnswered();
    // Where the keyboard opens the menu: at the focused control (screen coordinates).
    QPoint AtFocus() const;

    std::atomic<bool> uiReady_{false};
    // The display's first line as last written to the log: each new text is logged
    // once ("Display : ..."), so the log tells what the listener was shown.
    std::mutex loggedTextMutex_;  // guards loggedText_ (the player's threads and the window thread)
    std::string loggedText_;
    bool initialised_ = false;
    bool firstFramePainted_ = false;
    bool firstFrameDone_ = false;
    bool hidden_ = false;
    bool ratingWanted_ = false;  // window thread: AskForRating asked, nothing answered yet
    bool offline_ = false;       // window thread: as the player last told
    QElapsedTimer lastKeySeek_;  // when Left or Right last seeked
    QEventLoop* modalLoop_ = nullptr;  // the loop RunModal runs, while it runs
    std::optional<int> finished_;      // how the window ended, once it has

    QIcon icon_;
    // forward pressed, buttons up, back pressed, pause pressed, pause up, play
    // pressed, stars off, stars on, display face, display overlay.
    std::array<std::unique_ptr<CSkinImage>, 10> images_;
    std::array<std::unique_ptr<ControlCallback>, 5> callbacks_;
    std::unique_ptr<CSkinButton> playButton_;
    std::unique_ptr<CSkinButton> forwardButton_;
    std::unique_ptr<CSkinButton> backButton_;
    std::unique_ptr<CVNDisplayControl> displayOwner_;
    // Read by the player's threads once uiReady_ is set; written before it is.
    CVNDisplayControl* display_ = nullptr;
    std::unique_ptr<CVNRatingControl> ratingControl_;
    std::unique_ptr<HotKeys> hotKeys_;
    std::unique_ptr<TrayIcon> tray_;
    AutoResetEvent windowReady_;
    AutoResetEvent windowClosed_;

    // ---- following the station host named in the preferences
protected:
    // The protocol port a newly named station is reached on (SERVER_PORT); tests
    // point it at a loopback station.
    virtual std::int32_t StationPort() const;
    // Ends a reconnect in progress before the player shuts down.
    void StopOwnThreads(std::uint32_t waitMs) override;

private:
    // After OK: a station host other than the one connected to reconnects the
    // player, in the background. A changed proxy alone needs nothing: every
    // connection reads it afresh.
    void FollowStationHost();
    std::unique_ptr<StationReconnector> MakeReconnector();
    // Made last, knowing the host that start-up connects to.
    std::unique_ptr<StationReconnector> reconnector_ = MakeReconnector();
};

}  // namespace vorn
