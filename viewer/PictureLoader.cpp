#include "viewer/PictureLoader.h"

#include <QFile>
#include <QImageReader>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/UniqueFd.h"
#include "viewer/AreaScaler.h"
#include "viewer/JpegDecoder.h"
#include "viewer/PictureFit.h"
#include "viewer/PixelMemory.h"

namespace {

// Decoded pictures and the decoder's working memory are bounded, so that a
// few hundred bytes claiming 60000 x 60000 pixels cannot take the machine.
constexpr int kImageLimitMB = 128;
constexpr qint64 kCoefficientLimit = 192LL * 1024 * 1024;
// No picture we could show comes near this; reading a larger file (a sparse
// 2 GB one, say) to its end would freeze the viewer for many seconds.
constexpr qint64 kFileLimit = 256LL * 1024 * 1024;
// Between two segments a JPEG holds fill bytes only; after this much of
// anything else the headers are not worth walking.
constexpr int kMarkerSearchLimit = 64 * 1024;

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

bool skipBytes(QIODevice& d, qint64 n)
{
    const qint64 to = d.pos() + n;
    return n >= 0 && to <= d.size() && d.seek(to);
}

bool readBytes(QIODevice& d, unsigned char* out, qint64 n)
{
    return d.read(reinterpret_cast<char*>(out), n) == n;
}

int word(const unsigned char* b) { return (b[0] << 8) | b[1]; }

// Walks the JPEG markers up to the first scan.
qint64 coefficientBytesFromHere(QIODevice& d)
{
    unsigned char b[4];
    if (!readBytes(d, b, 2) || b[0] != 0xFF || b[1] != 0xD8)
        return 0;

    struct Component {
        int h, v;
    };
    Component comps[4] = {};
    int ncomp = 0, width = 0, height = 0;
    bool progressive = false, haveFrame = false;

    for (int guard = 0; guard < 10000; ++guard) {
        unsigned char c = 0;
        int skipped = 0;
        do {  // skip to the next marker, over fill bytes
            if (++skipped > kMarkerSearchLimit || !readBytes(d, &c, 1))
                return 0;
        } while (c != 0xFF);
        do {
            if (!readBytes(d, &c, 1))
                return 0;
        } while (c == 0xFF);
        const int marker = c;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;  // stand-alone markers
        if (marker == 0xD9)
            return 0;
        if (!readBytes(d, b, 2))
            return 0;
        const int length = word(b);
        if (length < 2)
            return 0;
        const bool isFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (isFrame && !haveFrame) {
            unsigned char f[6];
            if (length < 8 || !readBytes(d, f, 6))
                return 0;
            height = word(f + 1);
            width = word(f + 3);
            ncomp = f[5];
            progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            for (int i = 0; i < ncomp; ++i) {
                unsigned char cs[3];
                if (!readBytes(d, cs, 3))
                    return 0;
                if (i < 4)
                    comps[i] = {std::max(1, cs[1] >> 4), std::max(1, cs[1] & 15)};
            }
            haveFrame = true;
            if (!skipBytes(d, length - 8 - 3 * ncomp))
                return 0;
            continue;
        }
        if (marker == 0xDA) {
            if (!haveFrame || !readBytes(d, b, 1))
                return 0;
            const bool multiScan = progressive || b[0] < ncomp;
            if (!multiScan || ncomp < 1 || ncomp > 4)
                return 0;
            int hmax = 1, vmax = 1;
            for (int i = 0; i < ncomp; ++i) {
                hmax = std::max(hmax, comps[i].h);
                vmax = std::max(vmax, comps[i].v);
            }
            qint64 total = 0;
            for (int i = 0; i < ncomp; ++i) {
                const qint64 cw = (qint64(width) * comps[i].h + hmax - 1) / hmax;
                const qint64 ch = (qint64(height) * comps[i].v + vmax - 1) / vmax;
                total += ((cw + 7) / 8) * ((ch + 7) / 8) * 64 * 2;  // 64 16-bit coefficients a block
            }
            return total;
        }
        if (!skipBytes(d, length - 2))
            return 0;
    }
    return 0;
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

Picture fromJpeg(JpegDecoder& jpeg, QSize screen, PixelMemory* memory)
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
    bool done;
    if (decoded == stored && orientation == 1) {
        done = jpeg.decodeInto(image);
    } else {
        AreaScaler scaler(decoded, stored, placeUpright(image, stored, orientation));
        done = jpeg.decode([&](const std::uint32_t* row) { scaler.addRow(row); });
    }
    if (!done)
        return failure(jpeg.error());
    picture.image = std::move(image);
    return picture;
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

qint64 jpegCoefficientBytes(QIODevice& device)
{
    const qint64 start = device.pos();
    if (device.isSequential() || !device.seek(0))
        return 0;
    const qint64 bytes = coefficientBytesFromHere(device);
    device.seek(start);
    return bytes;
}

Picture loadPicture(QIODevice& device, QSize screen, const std::atomic<bool>* stop, PixelMemory* memory)
{
    if (jpegCoefficientBytes(device) > kCoefficientLimit)
        return failure(QStringLiteral("The picture is too large to decode."));

    const qint64 start = device.pos();
    {
        JpegDecoder jpeg(device, stop);
        if (jpeg.readHeader())
            return fromJpeg(jpeg, screen, memory);
        if (!jpeg.error().isEmpty())
            return failure(jpeg.error());
    }
    // No JPEG, or one in CMYK: Qt's readers know the rest.
    if (!device.seek(start))
        return failure(device.errorString());

    QImageReader reader(&device);
    reader.setAllocationLimit(kImageLimitMB);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty())
        return failure(reader.errorString());

    const bool quarterTurn = reader.transformation() & QImageIOHandler::TransformationRotate90;
    Picture picture;
    picture.natural = uprightSize(stored, quarterTurn);
    const QSize wanted = shownSize(picture.natural, screen);
    if (wanted != picture.natural)
        reader.setScaledSize(uprightSize(wanted, quarterTurn));

    QImage image = reader.read();
    if (image.isNull())
        return failure(reader.errorString());
    if (image.size() != wanted)
        image = image.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    picture.image = std::move(image);
    return picture;
}

Picture loadPictureFile(const QByteArray& path, QSize screen, const std::atomic<bool>* stop, PixelMemory* memory)
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
    Picture picture = loadPicture(file, screen, stop, memory);
    // A decoder that met the failed read may still have made a picture of
    // what it had; it is never handed on.
    if (stop && stop->load())
        return failure(QStringLiteral("The picture is no longer wanted."));
    picture.file = identityOf(st);
    return picture;
}
