// The real program on a real X server with a window manager: what a user
// meets when ending it from the window manager.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <X11/Xlib.h>

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
// waiting for it to appear; 0 when it does not. "--all": xdotool otherwise
// reports windows that meet any one condition, any window of the program.
unsigned long FindWindow(qint64 pid, const QString& title)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kPatience) {
        QProcess search;
        search.start("xdotool", {"search", "--all", "--onlyvisible", "--pid", QString::number(pid), "--name",
                                 "^" + title + "$"});
        search.waitForFinished();
        const QList<QByteArray> ids = search.readAllStandardOutput().split('\n');
        if (!ids.first().isEmpty())
            return ids.first().toULong();
        QTest::qWait(100);
    }
    return 0;
}

void Xdotool(const QStringList& arguments)
{
    ASSERT_EQ(QProcess::execute("xdotool", arguments), 0) << arguments.join(' ').toStdString();
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

TEST(ProgramOnScreen, CloseBoxEndsTheProgramWhileTheDialogIsOpenAndSavesNothing)
{
    TempStore store;  // the program inherits XDG_CONFIG_HOME
    AppSettings::WriteText("txtImageCaption1", "Before");
    AppSettings::WriteText("varSlideShowDelayTime", "5");
    const QByteArray storedBefore = ReadFile(store.storeFile());

    QProcess program;
    program.start(MARBLEGLEN_BIN, QStringList());
    ASSERT_TRUE(program.waitForStarted(kPatience));
    const unsigned long mainWindow = FindWindow(program.processId(), "Marbleglen");
    ASSERT_NE(mainWindow, 0u);

    // "Config Options" lies at 48, 280 and is 89 x 20 pixels.
    Xdotool({"mousemove", "--sync", "--window", QString::number(mainWindow), "92", "290"});
    Xdotool({"click", "1"});
    const unsigned long dialog = FindWindow(program.processId(), "Configuration Options");
    ASSERT_NE(dialog, 0u);
    // An edit that a save would store: the delay slider to its end.
    Xdotool({"key", "Tab", "Tab", "End"});

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
