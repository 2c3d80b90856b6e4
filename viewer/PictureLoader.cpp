#include "viewer/PictureLoader.h"

#include <QFile>
#include <QImageReader>
#include <QTransform>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/UniqueFd.h"
#include "viewer/AreaScaler.h"
#include "viewer/ColourProfile.h"
#include "viewer/ExifChunks.h"
#include "viewer/HeifDecoder.h"
#include "viewer/JpegXlDecoder.h"
#include "viewer/JpegDecoder.h"
#include "viewer/PictureFit.h"
#include "viewer/PixelMemory.h"

namespace {

// Decoded pictures are bounded (and the JPEG decoder's working memory, by
// JpegDecoder::kMemoryLimit), so that a few hundred bytes claiming 60000 x
// 60000 pixels cannot take the machine.
constexpr int kImageLimitMB = 128;
// No picture we could show comes near this; reading a larger file (a sparse
// 2 GB one, say) to its end would freeze the viewer for many seconds.
constexpr qint64 kFileLimit = 256LL * 1024 * 1024;

// A file whose reads fail once the decode is no longer wanted.
class StoppableFile : public QFile {
public:
    explicit StoppableFile(const std::atomic<bool>* stop) : stop_(stop) {}

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (stop_ && stop_->load(std::memory_order_relaxed))
            return -1;
        return QFile::readData(data, maxSize);
    }

private:
    const std::atomic<bool>* stop_;
};

Picture failure(QString why)
{
    Picture p;
    p.error = std::move(why);
    return p;
}

QString systemError(const char* what, int err)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(err)));
}

// A quarter turn swaps the sides (either way round).
QSize uprightSize(QSize size, bool quarterTurn) { return quarterTurn ? size.transposed() : size; }

// The size a picture of the given upright size is shown at.
QSize shownSize(QSize natural, QSize screen)
{
    const PictureFit fit = fitPicture(natural, screen);
    return fit.scaled ? fit.rect.size() : natural;
}

bool turnsAQuarter(int orientation) { return orientation >= 5 && orientation <= 8; }

// Where each pixel of the picture as stored (scaled to `stored`) goes in the
// upright image, for the EXIF orientations 1 to 8: mirrored, turned, or both.
PixelPlacement placeUpright(QImage& image, QSize stored, int orientation)
{
    std::uint32_t* base = reinterpret_cast<std::uint32_t*>(image.bits());
    const std::ptrdiff_t row = image.bytesPerLine() / 4;
    const std::ptrdiff_t right = stored.width() - 1, bottom = stored.height() - 1;
    switch (orientation) {
    case 2: return {base + right, -1, row};                        // mirrored
    case 3: return {base + bottom * row + right, -1, -row};        // half a turn
    case 4: return {base + bottom * row, 1, -row};                 // upside down
    case 5: return {base, row, 1};                                 // corners swapped
    case 6: return {base + bottom, row, -1};                       // a quarter turn clockwise
    case 7: return {base + right * row + bottom, -row, -1};        // the other corners swapped
    case 8: return {base + right * row, -row, 1};                  // a quarter turn back
    default: return {base, 1, row};
    }
}

// Where rows [top, bottom) of a picture placed upright by `place` are in the
// upright image: rows of it, or columns when it was turned a quarter.
QRect uprightArea(const PixelPlacement& place, const QImage& image, int width, int top, int bottom)
{
    const auto* base = reinterpret_cast<const std::uint32_t*>(image.constBits());
    const std::ptrdiff_t row = image.bytesPerLine() / 4;
    QRect area;
    for (const int y : {top, bottom - 1})
        for (const int x : {0, width - 1}) {
            const std::ptrdiff_t at = (place.origin - base) + x * place.dx + y * place.dy;
            area |= QRect(static_cast<int>(at % row), static_cast<int>(at / row), 1, 1);
        }
    return area;
}

// The colours a JPEG says it is in: its profile, else EXIF's mark; none
// (shown as it is) when it says nothing or its profile is unusable.
QColorSpace jpegColours(const JpegDecoder& jpeg)
{
    if (!jpeg.iccProfile().isEmpty())
        return colourSpaceFromIcc(jpeg.iccProfile());
    return jpeg.exifAdobeRgb() ? QColorSpace(QColorSpace::AdobeRgb) : QColorSpace();
}

// The picture as stored turned upright for the EXIF orientation 2 to 8.
QImage upright(const QImage& stored, int orientation)
{
    QTransform quarter;
    quarter.rotate(90);  // clockwise, y running down
    switch (orientation) {
    case 2: return stored.mirrored(true, false);
    case 3: return stored.mirrored(true, true);
    case 4: return stored.mirrored(false, true);
    case 5: return stored.transformed(quarter).mirrored(true, false);
    case 6: return stored.transformed(quarter);
    case 7: return stored.transformed(quarter).mirrored(false, true);
    case 8: return stored.transformed(quarter.rotate(180));
    default: return stored;
    }
}

Picture fromJpeg(JpegDecoder& jpeg, QSize screen, PixelMemory* memory, const QColorSpace& display)
{
    const int orientation = jpeg.orientation();
    const bool quarterTurn = turnsAQuarter(orientation);
    Picture picture;
    picture.natural = uprightSize(jpeg.size(), quarterTurn);
    if (picture.natural.isEmpty())
        return failure(QStringLiteral("The picture has no size."));
    const QSize shown = shownSize(picture.natural, screen);
    if (qint64(shown.width()) * shown.height() * 4 > qint64(kImageLimitMB) * 1024 * 1024)
        return failure(QStringLiteral("The picture is too large to decode."));
    const QSize stored = uprightSize(shown, quarterTurn);
    const QSize decoded = jpeg.scaleFor(stored);
    if (!decoded.isValid())
        return failure(jpeg.error());
    if (decoded.width() < stored.width() || decoded.height() < stored.height())
        return failure(QStringLiteral("The picture cannot be decoded at its size."));

    QImage image = memory ? memory->image(shown) : QImage(shown, QImage::Format_RGB32);
    if (image.isNull())
        return failure(QStringLiteral("There is not enough memory for the picture."));
    ColourBands colours(image, jpegColours(jpeg), display);
    bool done;
    if (decoded == stored && orientation == 1) {
        done = jpeg.decodeInto(image);
        if (done)
            colours.convertHere(image.rect());
    } else {
        // The rows the scaler has finished are converted on the other core
        // while the rest is decoded.
        constexpr int kBandRows = 64;
        const PixelPlacement place = placeUpright(image, stored, orientation);
        AreaScaler scaler(decoded, stored, place);
        int handed = 0;
        done = jpeg.decode([&](const std::uint32_t* row) {
            scaler.addRow(row);
            if (colours.active() && scaler.rowsDone() - handed >= kBandRows) {
                colours.convertAside(uprightArea(place, image, stored.width(), handed, scaler.rowsDone()));
                handed = scaler.rowsDone();
            }
        });
        if (done && handed < stored.height())
            colours.convertHere(uprightArea(place, image, stored.width(), handed, stored.height()));
    }
    colours.finish();
    if (!done)
        return failure(jpeg.error());
    picture.image = std::move(image);
    return picture;
}

// A picture a library decoded whole: shrunk by the area scaler to its fitted
// size (or copied, at its own), in RGB32, in the file's colours converted to
// the display's.
Picture fromWhole(const WholePicture& whole, QSize screen, PixelMemory* memory, const QColorSpace& display)
{
    if (!whole.size.isValid() || !whole.pixels)
        return failure(whole.error.isEmpty() ? QStringLiteral("The picture could not be decoded.") : whole.error);
    Picture picture;
    picture.natural = whole.size;
    const QSize shown = shownSize(picture.natural, screen);
    QImage image = memory ? memory->image(shown) : QImage(shown, QImage::Format_RGB32);
    if (image.isNull())
        return failure(QStringLiteral("There is not enough memory for the picture."));
    if (shown == whole.size) {
        for (int y = 0; y < shown.height(); ++y) {
            const auto* from = reinterpret_cast<const std::uint32_t*>(whole.pixels + y * whole.stride);
            auto* to = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
            for (int x = 0; x < shown.width(); ++x)
                to[x] = from[x] | 0xff000000u;
        }
    } else {
        AreaScaler scaler(whole.size, shown, placeUpright(image, shown, 1));
        for (int y = 0; y < whole.size.height(); ++y)
            scaler.addRow(reinterpret_cast<const std::uint32_t*>(whole.pixels + y * whole.stride));
    }
    // Red and blue trade places at the fitted size, where it costs least.
    if (whole.redFirst)
        image.rgbSwap();
    convertColours(image, whole.colours, display);
    picture.image = std::move(image);
    return picture;
}

// Reads the rest of the device, up to the file limit. Only what it holds is
// asked for: a read of the limit itself would reserve the whole limit for
// every picture, which fails where address space is bounded (ulimit -v).
bool readWhole(QIODevice& device, QByteArray& bytes, QString& error)
{
    const qint64 left = device.size() - device.pos();
    if (left > kFileLimit) {
        error = QStringLiteral("The picture file is too large.");
        return false;
    }
    bytes = device.read(std::max<qint64>(left, 0));
    if (bytes.isEmpty() && left > 0) {
        error = device.errorString();
        return false;
    }
    return true;
}

Picture fromHeif(const QByteArray& file, QSize screen, PixelMemory* memory, const QColorSpace& display)
{
    // Refused from what the file declares, before anything is decoded: the
    // decoder's planes and the whole picture in RGBA, and a decoder start for
    // each tile of a grid.
    constexpr std::size_t kBytesPerPixel = 7;
    constexpr long kItemLimit = 1024;  // a phone's 48 MP photo has 192 tiles
    if (heif::itemCount(file) > kItemLimit)
        return failure(QStringLiteral("The picture has too many parts."));
    const heif::Declared declared = heif::declared(file);
    if (!declared.size.isValid())
        return failure(declared.error);
    if (declared.size.isEmpty())
        return failure(QStringLiteral("The picture has no size."));
    // A grid is decoded to the size its own description gives, which may
    // claim far more than the size property.
    for (const QSize size : {declared.size, heif::gridSize(file)})
        if (size.isValid() && std::size_t(size.width()) * std::size_t(size.height()) > kWholePictureLimit / kBytesPerPixel)
            return failure(QStringLiteral("The picture is too large to decode."));
    return fromWhole(heif::decode(file), screen, memory, display);
}

FileIdentity identityOf(const struct stat& st)
{
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.modifiedSec = st.st_mtim.tv_sec;
    id.modifiedNsec = st.st_mtim.tv_nsec;
    id.changedSec = st.st_ctim.tv_sec;
    id.changedNsec = st.st_ctim.tv_nsec;
    return id;
}

}  // namespace

std::optional<FileIdentity> fileIdentity(const QByteArray& path)
{
    struct stat st{};
    if (path.isEmpty() || path.contains('\0') || ::stat(path.constData(), &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

Picture loadPicture(QIODevice& device, QSize screen, const std::atomic<bool>* stop, PixelMemory* memory,
                    const QColorSpace& display)
{
    const qint64 start = device.pos();
    {
        JpegDecoder jpeg(device, stop);
        const bool ours = jpeg.readHeader();
        // Refused before anything is allocated for it, here or in Qt's reader
        // (which is libjpeg too, with no limit of its own).
        if (jpeg.wholePictureBytes() > JpegDecoder::kMemoryLimit)
            return failure(QStringLiteral("The picture is too large to decode."));
        if (ours)
            return fromJpeg(jpeg, screen, memory, display);
        if (!jpeg.error().isEmpty())
            return failure(jpeg.error());
    }
    if (!device.seek(start))
        return failure(device.errorString());
    // By what the file holds, whatever its name says.
    const QByteArray head = device.peek(64);
    const bool isHeif = heif::looksLike(head), isJpegXl = !isHeif && jpegxl::looksLike(head);
    if (isHeif || isJpegXl) {
        QByteArray file;
        QString error;
        if (!readWhole(device, file, error))
            return failure(error);
        return isHeif ? fromHeif(file, screen, memory, display)
                      : fromWhole(jpegxl::decode(file), screen, memory, display);
    }

    // No JPEG, or one in CMYK: Qt's readers know the rest (PNG, WebP among them).

    // Qt turns JPEGs and TIFFs upright itself, but not PNGs or WebPs.
    const int chunkTurn = chunkOrientation(device);
    QImageReader reader(&device);
    reader.setAllocationLimit(kImageLimitMB);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty())
        return failure(reader.errorString());

    const bool qtTurns = reader.transformation() != QImageIOHandler::TransformationNone;
    const int orientation = qtTurns ? 1 : chunkTurn;
    const bool quarterTurn = qtTurns ? bool(reader.transformation() & QImageIOHandler::TransformationRotate90)
                                     : turnsAQuarter(orientation);
    Picture picture;
    picture.natural = uprightSize(stored, quarterTurn);
    const QSize wanted = shownSize(picture.natural, screen);
    if (wanted != picture.natural)
        reader.setScaledSize(uprightSize(wanted, quarterTurn));

    QImage image = reader.read();
    if (image.isNull())
        return failure(reader.errorString());
    if (orientation != 1)
        image = upright(image, orientation);
    if (image.size() != wanted)
        image = image.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    convertColours(image, image.colorSpace(), display);
    picture.image = std::move(image);
    return picture;
}

Picture loadPictureFile(const QByteArray& path, QSize screen, const std::atomic<bool>* stop, PixelMemory* memory,
                        const QColorSpace& display)
{
    if (path.isEmpty() || path.contains('\0'))
        return failure(QStringLiteral("No picture file is named."));

    // Check the type before opening: opening a FIFO for reading waits for a writer.
    struct stat st{};
    if (::stat(path.constData(), &st) != 0)
        return failure(systemError("stat", errno));
    if (!S_ISREG(st.st_mode))
        return failure(QStringLiteral("Not a regular file."));

    // O_NONBLOCK in case the name was swapped for a FIFO since the check.
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd)
        return failure(systemError("open", errno));
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return failure(QStringLiteral("Not a regular file."));
    if (st.st_size > kFileLimit)
        return failure(QStringLiteral("The picture file is too large."));

    StoppableFile file(stop);
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return failure(file.errorString());
    fd.release();  // the file closes it now
    Picture picture = loadPicture(file, screen, stop, memory, display);
    // A decoder that met the failed read may still have made a picture of
    // what it had; it is never handed on.
    if (stop && stop->load())
        return failure(QStringLiteral("The picture is no longer wanted."));
    picture.file = identityOf(st);
    return picture;
}
