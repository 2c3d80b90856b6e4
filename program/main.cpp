#include <QApplication>

#include <cstdio>

#include "program/CommandLine.h"
#include "program/PictureFrame.h"
#include "program/Program.h"

int main(int argc, char** argv)
{
    // Before the window system: --help, --version and mistakes need no display.
    const CommandLine commandLine = ParseCommandLine(argc, argv);
    std::fputs(commandLine.out.c_str(), stdout);
    std::fputs(commandLine.err.c_str(), stderr);
    if (commandLine.exitCode != CommandLine::kRun)
        return commandLine.exitCode;

    QApplication app(argc, argv);
    QApplication::setApplicationName("marbleglen");
    QApplication::setApplicationVersion(MARBLEGLEN_VERSION);
    QApplication::setDesktopFileName("org.marbleglen.Marbleglen");
    // Torn down before the application: the windows, then what they shared.
    Program program;
    program.Remote().SetEnabled(commandLine.options.remote);
    if (commandLine.options.show)
        return RunPictureFrame(program, commandLine.options);
    program.frmSearch().show();
    return QApplication::exec();
}
