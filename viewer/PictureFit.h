#pragma once

#include <QRect>
#include <QSize>

// Where a picture lies on the screen, both measured in device pixels.
struct PictureFit {
    QRect rect;           // the picture's place on the screen
    bool scaled = false;  // false when the picture keeps its natural size
};

// Shrinks the picture by the smaller of the two ratios screen / picture (never
// enlarging it) so that the whole picture is on the screen, and centres it.
// A picture that already fits keeps its natural size.
PictureFit fitPicture(QSize picture, QSize screen);
