#include "viewer/ColourProfile.h"

#include <QColorTransform>
#include <QImage>

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
    image.applyColorTransform(from.transformationToColorSpace(target));
}
