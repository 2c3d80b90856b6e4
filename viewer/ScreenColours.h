#pragma once

#include <QColorSpace>

class QScreen;

// The colours of the screen the viewer shows on: the ICC profile a colour
// daemon puts on the X root window (_ICC_PROFILE for the first screen,
// _ICC_PROFILE_n for the n-th), sRGB where there is none, where it cannot be
// used, and on Wayland, which offers no profile to clients yet.
QColorSpace screenColours(const QScreen* screen);
