#include "viewer/ExifChunks.h"

#include <QByteArray>
#include <QIODevice>

#include "viewer/JpegDecoder.h"

namespace {

// Past this many chunks a file is not worth searching for its orientation.
constexpr int kChunkLimit = 10000;
// An EXIF block larger than this holds more than an orientation needs.
constexpr qint64 kExifLimit = 1 << 20;

int orientationOf(QByteArray exif)
{
    // PNG's and WebP's blocks start at the TIFF header; some writers keep
    // JPEG's signature before it.
    if (!exif.startsWith(QByteArrayLiteral("Exif\0\0")))
        exif.prepend(QByteArrayLiteral("Exif\0\0"));
    return exifOrientation(reinterpret_cast<const unsigned char*>(exif.constData()),
                           static_cast<std::size_t>(exif.size()));
}

quint32 be32(const QByteArray& b, int at)
{
    return quint32(uchar(b[at])) << 24 | quint32(uchar(b[at + 1])) << 16 | quint32(uchar(b[at + 2])) << 8 |
           uchar(b[at + 3]);
}
quint32 le32(const QByteArray& b, int at)
{
    return quint32(uchar(b[at + 3])) << 24 | quint32(uchar(b[at + 2])) << 16 | quint32(uchar(b[at + 1])) << 8 |
           uchar(b[at]);
}

int pngOrientation(QIODevice& device, qint64 at)
{
    for (int n = 0; n < kChunkLimit && device.seek(at); ++n) {
        const QByteArray header = device.read(8);
        if (header.size() < 8)
            return 1;
        const qint64 length = be32(header, 0);
        const QByteArray type = header.mid(4, 4);
        if (type == "eXIf")
            return length <= kExifLimit ? orientationOf(device.read(length)) : 1;
        if (type == "IEND")
            return 1;
        at += 12 + length;  // length, type, data, CRC
    }
    return 1;
}

int webpOrientation(QIODevice& device, qint64 at)
{
    for (int n = 0; n < kChunkLimit && device.seek(at); ++n) {
        const QByteArray header = device.read(8);
        if (header.size() < 8)
            return 1;
        const qint64 length = le32(header, 4);
        if (header.startsWith("EXIF"))
            return length <= kExifLimit ? orientationOf(device.read(length)) : 1;
        at += 8 + length + (length & 1);  // chunks are padded to an even length
    }
    return 1;
}

}  // namespace

int chunkOrientation(QIODevice& device)
{
    const qint64 start = device.pos();
    const QByteArray head = device.peek(16);
    int orientation = 1;
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        orientation = pngOrientation(device, start + 8);
    else if (head.size() >= 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        orientation = webpOrientation(device, start + 12);
    device.seek(start);
    return orientation;
}
