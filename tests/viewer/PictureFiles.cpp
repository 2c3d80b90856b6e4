#include "tests/viewer/PictureFiles.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QPainter>

namespace picturefiles {

QByteArray jpeg(int width, int height, bool progressive)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height, Qt::red);
    painter.fillRect(width / 2, 0, width - width / 2, height, Qt::blue);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

QByteArray withOrientation(const QByteArray& jpeg, int orientation)
{
    // APP1 "Exif": big-endian TIFF header, one IFD with the orientation tag.
    QByteArray tiff("MM\0\x2a\0\0\0\x08", 8);
    tiff += QByteArray("\0\x01", 2);                                    // one entry
    tiff += QByteArray("\x01\x12\0\x03\0\0\0\x01", 8);                  // 0x0112, SHORT, count 1
    tiff += QByteArray(1, '\0') + QByteArray(1, char(orientation)) + QByteArray(2, '\0');
    tiff += QByteArray(4, '\0');                                        // no next IFD
    QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
    const int length = app1.size() + 2;
    QByteArray segment("\xFF\xE1", 2);
    segment += char(length >> 8);
    segment += char(length & 0xFF);
    segment += app1;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QByteArray claimingSize(const QByteArray& jpeg, int width, int height)
{
    QByteArray out = jpeg;
    int at = out.indexOf(QByteArray("\xFF\xC0", 2));
    if (at < 0)
        at = out.indexOf(QByteArray("\xFF\xC2", 2));
    if (at < 0)
        return out;
    out[at + 5] = char(height >> 8);
    out[at + 6] = char(height & 0xFF);
    out[at + 7] = char(width >> 8);
    out[at + 8] = char(width & 0xFF);
    return out;
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace picturefiles
