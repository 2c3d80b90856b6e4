#include "viewer/ColourProfile.h"

#include <QImage>
#include <QRunnable>
#include <QThreadPool>

#include <optional>

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

namespace {

// The conversion from one space to another; none when `from` says nothing or
// is the target already, so that such a picture stays bit for bit.
std::optional<QColorTransform> transformBetween(const QColorSpace& from, const QColorSpace& to)
{
    const QColorSpace target = to.isValid() ? to : QColorSpace(QColorSpace::SRgb);
    if (!from.isValid() || from == target)
        return std::nullopt;
    return from.transformationToColorSpace(target);
}

}  // namespace

void convertColours(QImage& image, const QColorSpace& from, const QColorSpace& to)
{
    // Qt spreads a large image over its own threads.
    if (const auto transform = transformBetween(from, to); transform && !image.isNull())
        image.applyColorTransform(*transform);
}

struct ColourBands::Band : QRunnable {
    Band(ColourBands& owner, QRect area) : owner(owner), area(area) { setAutoDelete(false); }
    void run() override
    {
        owner.convertHere(area);
        owner.converted_.release();
    }
    ColourBands& owner;
    const QRect area;
};

ColourBands::ColourBands(QImage& image, const QColorSpace& from, const QColorSpace& to)
{
    const auto transform = transformBetween(from, to);
    active_ = transform && !image.isNull();
    if (!active_)
        return;
    transform_ = *transform;
    // Taken once, here: the bands must not each ask the image (which may
    // detach it) from their own threads.
    bits_ = image.bits();
    bytesPerLine_ = image.bytesPerLine();
    format_ = image.format();
}

ColourBands::~ColourBands() { finish(); }

void ColourBands::convertAside(QRect area)
{
    if (!active_ || area.isEmpty())
        return;
    bands_.push_back(std::make_unique<Band>(*this, area));
    QThreadPool::globalInstance()->start(bands_.back().get());
}

void ColourBands::convertHere(QRect area) const
{
    if (!active_ || area.isEmpty())
        return;
    QImage view(bits_ + area.y() * bytesPerLine_ + area.x() * 4, area.width(), area.height(), bytesPerLine_,
                QImage::Format(format_));
    view.applyColorTransform(transform_);
}

void ColourBands::finish()
{
    // A band still waiting for a thread is converted here: the pool may be
    // busy with work that waits for this very decode.
    for (const auto& band : bands_)
        if (QThreadPool::globalInstance()->tryTake(band.get()))
            band->run();
    converted_.acquire(static_cast<int>(bands_.size()));
    bands_.clear();
}
