#pragma once

#include <QByteArray>

#include <optional>
#include <string>

#include "viewer/AwakeHours.h"

// What the command line asks for. Without --show the program starts its main
// window as always; the other options only mean something with it.
struct FrameOptions {
    bool show = false;
    QByteArray folder;             // the folder to show, as the file system's bytes
    std::optional<int> order;      // 1 progressive, 2 random; none: the stored order
    std::optional<int> intervalMs; // none: the stored delay
    bool kiosk = false;            // clicks do not end the show
    bool verbose = false;          // each picture's path on standard output as it is shown
    bool remote = false;           // the media controls (MPRIS) and media keys drive the viewer
    std::optional<AwakeHours> awake;  // none: the screen never sleeps
    bool newFirst = false;         // pictures that appear during the show are shown next
};

// The command line read before any window system is touched, so that --help,
// --version and mistakes need no display.
struct CommandLine {
    enum : int { kRun = -1, kDone = 0, kFailed = 1, kBadUsage = 2 };
    int exitCode = kRun;  // kRun: go on and start the program
    std::string out;      // for standard output (help, version)
    std::string err;      // one line for standard error
    FrameOptions options;
};

// Reads argv. A folder number 1 to 4 is looked up in the settings here; a
// folder given by path need not exist yet (a drive not mounted at boot).
CommandLine ParseCommandLine(int argc, char** argv);
