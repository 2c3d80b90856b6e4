#include "tests/viewer/PictureFiles.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QPainter>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace picturefiles {

namespace {

QByteArray encoded(const QImage& image, bool progressive)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

}  // namespace

QByteArray jpeg(int width, int height, bool progressive)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height, Qt::red);
    painter.fillRect(width / 2, 0, width - width / 2, height, Qt::blue);
    painter.end();
    return encoded(image, progressive);
}

QByteArray quarters(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    const int w = width / 2, h = height / 2;
    QPainter painter(&image);
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, width - w, h, Qt::green);
    painter.fillRect(0, h, w, height - h, Qt::blue);
    painter.fillRect(w, h, width - w, height - h, Qt::white);
    painter.end();
    return encoded(image, false);
}

QByteArray cmykJpeg(int width, int height, bool progressive)
{
    // Qt writes no CMYK JPEGs: libjpeg does.
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 4, 0x80);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray bytes(reinterpret_cast<const char*>(out), static_cast<qsizetype>(size));
    std::free(out);
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

namespace {
QByteArray segment(char marker, const QByteArray& payload)
{
    const int length = static_cast<int>(payload.size()) + 2;
    QByteArray out("\xFF", 1);
    out += marker;
    out += char(length >> 8);
    out += char(length & 0xFF);
    return out + payload;
}
}  // namespace

QByteArray solidJpeg(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

QByteArray withIccProfile(const QByteArray& jpeg, const QByteArray& icc, int chunks, int firstNumber)
{
    QByteArray segments;
    const qsizetype each = (icc.size() + chunks - 1) / chunks;
    for (int i = 0; i < chunks; ++i) {
        QByteArray payload("ICC_PROFILE\0", 12);
        payload += char(firstNumber + i);
        payload += char(chunks);
        payload += icc.mid(i * each, each);
        segments += segment('\xE2', payload);
    }
    return jpeg.left(2) + segments + jpeg.mid(2);
}

QByteArray withExifAdobeRgb(const QByteArray& jpeg, const char* index)
{
    // Big-endian TIFF: IFD0 at 8 with the Exif IFD pointer; the Exif IFD at
    // 26 with the colour space and the interoperability pointer; that IFD at
    // 56 with the index.
    QByteArray tiff("MM\0\x2a\0\0\0\x08", 8);
    tiff += QByteArray("\0\x01" "\x87\x69\0\x04\0\0\0\x01\0\0\0\x1a" "\0\0\0\0", 18);
    tiff += QByteArray("\0\x02" "\xa0\x01\0\x03\0\0\0\x01\xff\xff\0\0" "\xa0\x05\0\x04\0\0\0\x01\0\0\0\x38"
                       "\0\0\0\0", 30);
    tiff += QByteArray("\0\x01" "\0\x01\0\x02\0\0\0\x04", 10) + QByteArray(index, 3) + QByteArray(1, '\0');
    tiff += QByteArray(4, '\0');
    return jpeg.left(2) + segment('\xE1', QByteArray("Exif\0\0", 6) + tiff) + jpeg.mid(2);
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

QByteArray withEmptyScans(const QByteArray& jpeg, int times)
{
    const qsizetype at = jpeg.lastIndexOf(QByteArray("\xFF\xDA", 2));
    if (at < 0 || !jpeg.endsWith(QByteArray("\xFF\xD9", 2)))
        return jpeg;
    const int length = (uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]);
    const QByteArray scan = jpeg.mid(at, 2 + length);
    return jpeg.chopped(2) + scan.repeated(times) + jpeg.right(2);
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace picturefiles
