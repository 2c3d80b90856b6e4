#include "tests/viewer/XPointer.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

bool pointerInvisible()
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    bool invisible = false;
    if (XFixesCursorImage* cursor = XFixesGetCursorImage(display)) {
        invisible = true;
        for (int i = 0; i < cursor->width * cursor->height; ++i)
            if ((cursor->pixels[i] >> 24) & 0xFF)
                invisible = false;
        XFree(cursor);
    }
    XCloseDisplay(display);
    return invisible;
}
