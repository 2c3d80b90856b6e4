#pragma once

#include <QByteArray>
#include <QColorSpace>

class QImage;

// The colours a picture's pixels are in, from an ICC profile it carries:
// invalid for a profile that cannot be used (damaged, not RGB, or of a kind
// the colour engine does not handle), so that the picture is shown as it is.
QColorSpace colourSpaceFromIcc(const QByteArray& icc);

// Converts the pixels of an RGB32 image from `from` to `to` (sRGB when `to` is
// invalid). Leaves the image as it is when `from` is invalid or the same as
// the target: a picture that says nothing of its colours is shown bit for bit.
void convertColours(QImage& image, const QColorSpace& from, const QColorSpace& to);
