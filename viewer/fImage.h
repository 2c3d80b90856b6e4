#pragma once

#include <QByteArray>
#include <QSize>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

#include "app/ImageList.h"
#include "viewer/MprisPlayer.h"
#include "viewer/SlideShow.h"

class PictureBox;
class PicturePreparer;
class ProgramContext;
class QLabel;
class QTimer;

// The full-screen viewer: shows the image list's current entry fitted to the
// screen, and runs the slide show's actions on its timers. Its form-level data
// (Data) outlives the window. While it is open, the remote control drives
// its show as the keys do.
class fImage : public QWidget, private RemoteTarget, private ImageList::Observer {
    Q_OBJECT
public:
    // What a show started from the command line sets for that run alone,
    // instead of the stored settings.
    struct ThisRun {
        std::optional<int> type;        // the order Space resumes in
        std::optional<int> intervalMs;  // the delay
        bool clicksClose = true;        // false: a click or tap leaves the show alone
    };

    struct Data {
        SlideShow slideShow;          // its state, and the random order's memory
        QByteArray currentImagePath;  // the list text last read for display (bytes)
        ThisRun thisRun;
    };

    fImage(Data& data, ProgramContext& program);
    ~fImage() override;

    // Hooks the wheel, holds the screen saver off, hides the pointer and applies
    // the delay setting. Form_Unload undoes the first three; it runs when the
    // window closes.
    void Form_Load();
    void Form_Unload();

    void Command1_Click();      // the fit: shows the list's current entry
    void RandomNumber_Click();  // the random pick
    void SetTimer_Click();      // applies the delay setting to both timers
    void Timer1_Timer();        // one progressive step
    void Timer2_Timer();        // one random step
    // The main window's "Start Slide Show" of type 1 or 2.
    void StartSlideShow(int type);
    // Does what the slide show answered, for a show driven from outside.
    void Perform(const ShowActions& actions) { perform(actions); }
    // One line of white text on the black screen in place of a picture; an
    // empty text, or the next fit, takes it away.
    void ShowNotice(const QString& text);
    // The slide show's state and the random order's memory, which outlives the window.
    const ::SlideShow& SlideShow() const { return data_.slideShow; }
    // The screen asleep: the show's timers stop and stay stopped, a black
    // cover hides the picture (which stays chosen), and a key other than
    // Escape, a click or a tap only asks to wake (WakeRequested). Awake
    // again, the timers of the show's state run from the picture on screen.
    void SetAsleep(bool asleep);
    bool Asleep() const { return asleep_; }

    // Key codes (KeyCodes): 27 Escape, 32 Space, 38 Up, 40 Down, and the media keys.
    void Form_KeyDown(int KeyCode, int Shift);
    void Form_Click();   // on the black background: closes the viewer
    void Image1_Click(); // on the picture: closes the viewer
    // One wheel event from the hook; only the sign of Rotation counts.
    void MouseWheel(std::int32_t Flags, std::int32_t Rotation, std::int32_t X, std::int32_t Y);

    // Starts decoding list entry listIndex (0-based) for this screen on a worker
    // thread, so that a later fit of that entry only hands the picture over.
    // What the viewer prepares by itself the slide show decides. Out-of-range
    // indexes are ignored. How many prepared pictures are held depends on the
    // screen's size (PictureRoom).
    void PrepareEntry(int listIndex);
    // The same by path bytes, for entries known by their path.
    void PreparePath(const QByteArray& path);
    // True when path is prepared and decoded for this screen.
    bool IsPrepared(const QByteArray& path) const;

    // The list text the last fit showed (or showed the error picture for).
    const QByteArray& CurrentImagePath() const { return data_.currentImagePath; }

    // The screen's size in device pixels, the size pictures are fitted to.
    QSize ScreenPixels() const;

    // Showing the viewer covers the whole screen the main window is on.
    void setVisible(bool visible) override;

    QTimer* Timer1 = nullptr;  // progressive step
    QTimer* Timer2 = nullptr;  // random step
    PictureBox* Image1 = nullptr;  // the current picture
    PictureBox* Image2 = nullptr;  // the error picture, 135 x 102
    QLabel* Notice = nullptr;      // a line of text while there is no picture to show
    QWidget* Cover = nullptr;      // black over everything while the screen is asleep

signals:
    void WakeRequested();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    Now RemoteNow() const override;
    void RemoteKey(int keyCode) override;
    void RemoteRaise() override;
    // Pictures that join or leave the list move the entry on screen.
    void inserted(const std::vector<std::int32_t>& at) override;
    void removed(const std::vector<std::int32_t>& at) override;

    void perform(const ShowActions& actions);
    void performRemote();
    void showErrorPicture();
    void stepFit();
    void prepareWhenPainted(int listIndex);
    QByteArray entryPath(int listIndex) const;

    Data& data_;
    ProgramContext& program_;
    ImageList& images_;
    PicturePreparer& preparer_;
    bool loaded_ = false;
    bool asleep_ = false;
    QByteArray steppedOnto_;  // stepped onto by key or wheel, shown once decoded
    int shownEntry_ = -1;     // the list entry the last fit showed
    // The show's answers to remote inputs the window has not acted on yet.
    std::vector<ShowActions> remoteAnswers_;
};
