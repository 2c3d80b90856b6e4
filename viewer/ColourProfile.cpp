#include "viewer/ColourProfile.h"

#include <QColorTransform>
#include <QImage>
#include <QtConcurrent/QtConcurrentMap>

#include <vector>

namespace {

// Below this the conversion takes about a millisecond and a second thread
// costs more than it saves.
constexpr qint64 kSplitPixels = 512 * 1024;

}  // namespace

QColorSpace colourSpaceFromIcc(const QByteArray& icc)
{
    // The header names the colours the profile is for; a grey or CMYK profile
    // says nothing of RGB pixels (and a picture could carry the wrong one).
    constexpr qsizetype kHeader = 128, kDataColours = 16;
    if (icc.size() < kHeader || icc.mid(kDataColours, 4) != "RGB ")
        return {};
    // Qt's reader refuses what it cannot use (bad tags, sizes out of range,
    // grey or CMYK profiles, lookup-table profiles) with an invalid space.
    QColorSpace space = QColorSpace::fromIccProfile(icc);
    return space.isValid() ? space : QColorSpace();
}

void convertColours(QImage& image, const QColorSpace& from, const QColorSpace& to)
{
    const QColorSpace target = to.isValid() ? to : QColorSpace(QColorSpace::SRgb);
    if (!from.isValid() || from == target || image.isNull())
        return;
    const QColorTransform transform = from.transformationToColorSpace(target);
    if (qint64(image.width()) * image.height() < kSplitPixels) {
        image.applyColorTransform(transform);
        return;
    }
    // A fitted photo in two bands at once: the conversion is a tenth of a
    // load, and the other core is mostly idle while the viewer decodes ahead.
    const int half = image.height() / 2;
    uchar* bits = image.bits();
    std::vector<QImage> bands;
    bands.emplace_back(bits, image.width(), half, image.bytesPerLine(), image.format());
    bands.emplace_back(bits + qsizetype(half) * image.bytesPerLine(), image.width(), image.height() - half,
                       image.bytesPerLine(), image.format());
    QtConcurrent::blockingMap(bands, [&](QImage& band) { band.applyColorTransform(transform); });
}
