// Opens the viewer on one picture, as the main window's View does, for tests
// that run it under a compositor of its own. It prints
//   main         once the main window is shown (with --main-window)
//   open <way>   once the viewer is shown (way: how the screen saver is held off)
//   closed       once the viewer has gone, by its own keys or by "close" on stdin
// and keeps running until "quit" or the end of its input, so that what closing
// the viewer gives back is never confused with what a compositor drops when a
// program leaves. With --main-window the main window comes first, and the
// viewer opens on "view". Usage: viewer_driver [--main-window] PICTURE
#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "app/ImageListBox.h"
#include "program/Program.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "viewer/ScreenSaverSwitch.h"
#include "viewer/fImage.h"

namespace {
void say(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir settings;  // never the settings of whoever runs it
    setenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    const bool mainWindow = argc == 3 && QByteArray(argv[1]) == "--main-window";
    if (argc != 2 && !mainWindow) {
        std::fprintf(stderr, "usage: viewer_driver [--main-window] PICTURE\n");
        return 2;
    }
    Program program;
    frmSearch& search = forms::frmSearch();
    search.List1->AddItem(QByteArray(argv[argc - 1]));
    search.List1->setSelected(0);
    QPointer<fImage> viewer;
    auto view = [&] {
        search.Command2_Click();
        viewer = &forms::fImage();
    };
    if (mainWindow)
        search.show();
    else
        view();

    QTimer watch;
    bool shown = false, opened = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (mainWindow && !shown && search.windowHandle() && search.windowHandle()->isExposed()) {
            shown = true;
            say("main");
        }
        if (!opened && viewer && viewer->windowHandle() && viewer->windowHandle()->isExposed()) {
            opened = true;
            say((QByteArray("open ") + wayName(program.ScreenSaver().way())).constData());
        }
        if (opened && !viewer) {
            watch.stop();
            say("closed");
        }
    });
    watch.start(50);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[64] = {};
        const ssize_t n = read(STDIN_FILENO, line, sizeof line - 1);
        if (n <= 0 || QByteArray(line).startsWith("quit"))
            QCoreApplication::quit();
        else if (QByteArray(line).startsWith("close") && viewer)
            viewer->close();
        else if (QByteArray(line).startsWith("view") && !viewer)
            view();
    });
    return QApplication::exec();
}
