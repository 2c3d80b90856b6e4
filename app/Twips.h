#pragma once

// Window geometry is laid out in twips, 15 to the logical pixel (96 dpi).
// A position or size becomes the nearest whole pixel.
constexpr int PixelsFromTwips(int twips)
{
    return (twips >= 0 ? twips + 7 : twips - 7) / 15;
}
