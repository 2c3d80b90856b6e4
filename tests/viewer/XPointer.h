#pragma once

// True when the pointer the X server shows (DISPLAY) has no visible pixel.
bool pointerInvisible();
