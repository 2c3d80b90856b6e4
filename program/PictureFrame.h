#pragma once

#include "program/CommandLine.h"

class Program;

// Runs the slide show of options.folder full screen with no main window, as a
// picture frame: it begins before the folder search ends, goes on where the
// last show of the folder in the same order stopped, waits for a folder that
// is missing or empty, and ends cleanly on SIGTERM, SIGINT and SIGHUP.
// Returns the program's exit code once the show has ended.
int RunPictureFrame(Program& program, const FrameOptions& options);
