#pragma once

typedef struct _XDisplay Display;

// Suspends the X server's own screen saver and display power-off for as long
// as it lives (the server lifts that by itself if the program dies). Nothing
// happens off X or where the server lacks the extension.
class X11SaverSuspension {
public:
    X11SaverSuspension();
    ~X11SaverSuspension();
    X11SaverSuspension(const X11SaverSuspension&) = delete;
    X11SaverSuspension& operator=(const X11SaverSuspension&) = delete;

    bool held() const { return display_ != nullptr; }

private:
    Display* display_ = nullptr;
};
