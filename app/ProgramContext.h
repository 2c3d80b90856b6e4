#pragma once

#include <QPointer>
#include <QString>

#include <functional>
#include <vector>

class ImageList;
class MprisPlayer;
class PicturePreparer;
class ScreenSaverSwitch;
class WheelHook;
class QDialog;
class QWidget;

// What one window may ask of another. The program implements these over its
// window slots, so that no window includes another window's header. Asking
// for a window that does not exist creates and loads it.
class MainWindowLink {
public:
    // The main window if it exists, else nullptr; never creates it.
    virtual QWidget* existingWindow() = 0;
    // Its "Load Search Folders": the captions are read from the settings again.
    virtual void ReloadCaptions() = 0;

protected:
    ~MainWindowLink() = default;
};

class ViewerLink {
public:
    // The main window's "View": shows the viewer and fits the current entry.
    virtual void View() = 0;
    // Starts a slide show of the given type, 1 progressive or 2 random.
    virtual void StartSlideShow(int type) = 0;

protected:
    ~ViewerLink() = default;
};

class ConfigurationLink {
public:
    virtual void Show() = 0;

protected:
    ~ConfigurationLink() = default;
};

// Everything program-wide: built once in main() (and afresh for each test),
// handed to each window as it is created, and torn down in reverse order at
// the end. Message boxes and the end of the program go through it, so a test
// can catch both.
class ProgramContext {
public:
    using MessageSink = std::function<void(const QString& prompt)>;
    using EndSink = std::function<void()>;

    ProgramContext(const ProgramContext&) = delete;
    ProgramContext& operator=(const ProgramContext&) = delete;

    virtual ImageList& Images() = 0;
    virtual PicturePreparer& Preparer() = 0;
    virtual ScreenSaverSwitch& ScreenSaver() = 0;
    virtual WheelHook& Wheel() = 0;
    // The show's remote control; the viewer attaches to it while it is open.
    virtual MprisPlayer& Remote() = 0;
    virtual MainWindowLink& Main() = 0;
    virtual ViewerLink& Viewer() = 0;
    virtual ConfigurationLink& Settings() = 0;

    // A message to the user: one OK button, no icon, titled "Marbleglen",
    // modal to the window the user is at (the main window when none is).
    void MsgBox(const QString& prompt);
    // Shows `box` and waits until it is done, modal to its parent's window:
    // that window and the windows it belongs to take no input meanwhile, yet
    // the main window's close request still ends the program. Returns the
    // box's result (Rejected when the box went without an answer).
    int RunModal(QDialog& box);
    // The box RunModal showed last that is still open, or nullptr.
    QDialog* openModalBox() const;
    // True when `window` is a box RunModal shows, or a window of one.
    bool isModalBox(const QWidget* window) const;
    // Ends the program at once: every window disappears and no window's
    // unload handling runs. The event loop is left, not the process killed,
    // so destructors still give back what they hold.
    void EndProgram();
    // Runs an event handler called from the event loop. An error ends the
    // handler at the failing statement and its description is shown; it
    // never reaches the event loop.
    void runHandler(const std::function<void()>& handler) noexcept;

    // Each setter returns the sink it replaces; an empty one puts the real
    // message box or end back.
    MessageSink setMessageSink(MessageSink sink);
    EndSink setEndSink(EndSink sink);

    // The context being run, for the few entry points that are handed no
    // context (tests reaching the windows by name); nullptr when none is.
    static ProgramContext* running() { return running_; }

protected:
    ProgramContext();
    virtual ~ProgramContext();

private:
    QWidget* messageOwner();

    MessageSink message_;
    EndSink end_;
    ProgramContext* outer_;
    std::vector<QPointer<QDialog>> boxes_;  // open, innermost last
    static ProgramContext* running_;
};
