#pragma once

#include <QByteArray>
#include <QColorSpace>
#include <QColorTransform>
#include <QRect>
#include <QSemaphore>

#include <memory>
#include <vector>

class QImage;

// The colours a picture's pixels are in, from an ICC profile it carries:
// invalid for a profile that cannot be used (damaged, not RGB, or of a kind
// the colour engine does not handle), so that the picture is shown as it is.
QColorSpace colourSpaceFromIcc(const QByteArray& icc);

// Converts the pixels of an RGB32 image from `from` to `to` (sRGB when `to` is
// invalid). Leaves the image as it is when `from` is invalid or the same as
// the target: a picture that says nothing of its colours is shown bit for bit.
void convertColours(QImage& image, const QColorSpace& from, const QColorSpace& to);

// The same conversion (of an RGB32 image) band by band, while the rest of the picture is still
// being decoded: a band handed aside is converted on another thread, so that
// by the time the last rows are decoded only the last band is left.
class ColourBands {
public:
    // The image must not be resized or shared until finish() has returned.
    ColourBands(QImage& image, const QColorSpace& from, const QColorSpace& to);
    ~ColourBands();  // finishes: no band outlives the image it converts
    ColourBands(const ColourBands&) = delete;
    ColourBands& operator=(const ColourBands&) = delete;

    // Whether there is anything to convert at all.
    bool active() const { return active_; }
    // Converts an area of the image on another thread (or here, when no
    // thread has taken it up by finish()).
    void convertAside(QRect area);
    // Converts an area of the image on this thread.
    void convertHere(QRect area) const;
    // Returns once every area handed aside is converted.
    void finish();

private:
    struct Band;

    uchar* bits_ = nullptr;
    qsizetype bytesPerLine_ = 0;
    int format_ = 0;
    QColorTransform transform_;
    bool active_ = false;
    std::vector<std::unique_ptr<Band>> bands_;
    QSemaphore converted_;
};
