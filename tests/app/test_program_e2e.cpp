// The real program on a real X server with a window manager: what a user
// meets when ending it from the window manager.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <X11/Xlib.h>

#include <functional>

#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"

namespace {

constexpr int kPatience = 30000;  // the machine may be busy with other work

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The id of the program's visible top-level window with exactly this title,
// other than `besides`, waiting for it to appear; 0 when it does not. "--all":
// xdotool otherwise reports windows that meet any one condition, any window
// of the program.
unsigned long FindWindow(qint64 pid, const QString& title, unsigned long besides = 0)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kPatience) {
        QProcess search;
        search.start("xdotool", {"search", "--all", "--onlyvisible", "--pid", QString::number(pid), "--name",
                                 "^" + title + "$"});
        search.waitForFinished();
        for (const QByteArray& id : search.readAllStandardOutput().split('\n'))
            if (!id.isEmpty() && id.toULong() != besides)
                return id.toULong();
        QTest::qWait(100);
    }
    return 0;
}

void Xdotool(const QStringList& arguments)
{
    ASSERT_EQ(QProcess::execute("xdotool", arguments), 0) << arguments.join(' ').toStdString();
}

void ClickIn(unsigned long window, int x, int y)
{
    const QString id = QString::number(window);
    // A step aside first: "--sync" waits 15 s for a move to where the
    // pointer already is.
    Xdotool({"mousemove", "--window", id, QString::number(x + 1), QString::number(y)});
    Xdotool({"mousemove", "--sync", "--window", id, QString::number(x), QString::number(y)});
    Xdotool({"click", "1"});
}

// "Config Options" lies at 48, 280 and is 89 x 20 pixels.
unsigned long OpenDialog(qint64 pid, unsigned long mainWindow)
{
    ClickIn(mainWindow, 92, 290);
    const unsigned long dialog = FindWindow(pid, "Configuration Options");
    if (dialog)  // keys typed next go to the window with the focus
        Xdotool({"windowactivate", "--sync", QString::number(dialog)});
    return dialog;
}

// What a click on the frame's close button or a task bar's "Close" does: the
// window manager is asked to close the window and sends it WM_DELETE_WINDOW.
bool AskWindowManagerToClose(unsigned long window)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_CLOSE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = 2;  // a direct action of the user
    const Status sent = XSendEvent(display, DefaultRootWindow(display), False,
                                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
    XCloseDisplay(display);
    return sent != 0;
}

}  // namespace

// Whatever the program shows in front of its main window, the window
// manager's close request for the main window ends it.
TEST(ProgramOnScreen, CloseBoxEndsTheProgramWhateverIsOpenAndSavesNothing)
{
    using Open = std::function<unsigned long(qint64 pid, unsigned long mainWindow)>;
    const struct {
        const char* what;
        Open open;  // the id of the window left open, 0 if it did not show
    } cases[] = {
        {"the dialog",
         [](qint64 pid, unsigned long mainWindow) {
             const unsigned long dialog = OpenDialog(pid, mainWindow);
             // An edit that a save would store: the delay slider to its end.
             Xdotool({"key", "Tab", "Tab", "End"});
             return dialog;
         }},
        {"the folder chooser",
         [](qint64 pid, unsigned long mainWindow) -> unsigned long {
             const unsigned long dialog = OpenDialog(pid, mainWindow);
             if (!dialog)
                 return 0;
             // The "Search Folders" page; its first folder picture lies at
             // 344, 74 and is 16 x 13 pixels.
             Xdotool({"key", "Tab", "Right"});
             ClickIn(dialog, 352, 80);
             return FindWindow(pid, "Select Folder");
         }},
        {"a message box",
         [](qint64 pid, unsigned long mainWindow) {
             // "View Image" lies at 48, 73 and is 89 x 20 pixels; with the
             // list empty it says so in a box.
             ClickIn(mainWindow, 92, 83);
             return FindWindow(pid, "Marbleglen", mainWindow);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempStore store;  // the program inherits XDG_CONFIG_HOME
        AppSettings::WriteText("txtImageCaption1", "Before");
        AppSettings::WriteText("varSlideShowDelayTime", "5");
        const QByteArray storedBefore = ReadFile(store.storeFile());

        QProcess program;
        program.start(MARBLEGLEN_BIN, QStringList());
        ASSERT_TRUE(program.waitForStarted(kPatience));
        const unsigned long mainWindow = FindWindow(program.processId(), "Marbleglen");
        ASSERT_NE(mainWindow, 0u);
        ASSERT_NE(c.open(program.processId(), mainWindow), 0u) << c.what << " did not show";

        ASSERT_TRUE(AskWindowManagerToClose(mainWindow));
        const bool ended = program.waitForFinished(kPatience);
        if (!ended) {
            program.kill();
            program.waitForFinished();
        }
        ASSERT_TRUE(ended) << "the program went on after its main window's close request";
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_EQ(ReadFile(store.storeFile()), storedBefore);
    }
}
