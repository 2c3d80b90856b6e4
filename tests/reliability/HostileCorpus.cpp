#include "HostileCorpus.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/viewer/PictureFiles.h"

#include <zlib.h>

namespace hostile {
namespace {

QByteArray jpeg(int w, int h, bool progressive = false)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

// Offset of the first marker of the given kind, or -1.
qsizetype markerAt(const QByteArray& b, unsigned char marker)
{
    for (qsizetype i = 2; i + 1 < b.size(); ++i)
        if (static_cast<unsigned char>(b[i]) == 0xFF && static_cast<unsigned char>(b[i + 1]) == marker)
            return i;
    return -1;
}

// The frame header claims another size; the data stays as it was.
QByteArray claiming(QByteArray b, int w, int h)
{
    qsizetype sof = markerAt(b, 0xC0);
    if (sof < 0)
        sof = markerAt(b, 0xC2);
    b[sof + 5] = static_cast<char>(h >> 8);
    b[sof + 6] = static_cast<char>(h & 0xFF);
    b[sof + 7] = static_cast<char>(w >> 8);
    b[sof + 8] = static_cast<char>(w & 0xFF);
    return b;
}

// By bytes: a name that is not valid UTF-8 must reach the disk unchanged.
bool write(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    ::close(fd);
    return ok;
}

QByteArray be32(quint32 v)
{
    const char b[] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}

// A PNG chunk with its CRC.
QByteArray pngChunk(const char* type, const QByteArray& data)
{
    const QByteArray body = QByteArray(type, 4) + data;
    return be32(quint32(data.size())) + body +
           be32(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))));
}

QByteArray pngHeader(int w, int h, int depth, int colourType)
{
    return be32(quint32(w)) + be32(quint32(h)) + char(depth) + char(colourType) + QByteArray(3, '\0');
}

// The PNG with its header chunk replaced, and `extra` chunks after it.
QByteArray pngWith(const QByteArray& png, const QByteArray& header, const QByteArray& extra = {})
{
    constexpr int kAfterHeader = 8 + 25;
    return png.left(8) + pngChunk("IHDR", header) + extra + png.mid(kAfterHeader);
}

// A grey PNG of zeros: a few hundred kB that decode to w x h bytes.
QByteArray pngBomb(int w, int h)
{
    const QByteArray row(1 + w, '\0');
    z_stream z{};
    deflateInit(&z, 9);
    QByteArray out(static_cast<qsizetype>(deflateBound(&z, uLong(row.size()) * uLong(h))), '\0');
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    for (int y = 0; y < h; ++y) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(row.constData()));
        z.avail_in = uInt(row.size());
        deflate(&z, y + 1 == h ? Z_FINISH : Z_NO_FLUSH);
    }
    out.resize(static_cast<qsizetype>(z.total_out));
    deflateEnd(&z);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", pngHeader(w, h, 8, 0)) + pngChunk("IDAT", out) +
           pngChunk("IEND", {});
}

// The HEIF's picture size ('ispe') replaced.
QByteArray heifClaiming(QByteArray heif, int w, int h)
{
    const qsizetype at = heif.indexOf("ispe");
    if (at >= 0)
        heif.replace(at + 8, 8, be32(quint32(w)) + be32(quint32(h)));
    return heif;
}

// A JPEG XL codestream whose header declares w x h and holds nothing more.
QByteArray jpegXlClaiming(quint32 w, quint32 h)
{
    std::vector<bool> bits;
    auto put = [&](quint32 value, int count) {
        for (int i = 0; i < count; ++i)
            bits.push_back((value >> i) & 1);
    };
    put(0, 1);           // not a small size
    put(3, 2);           // height - 1 in 30 bits
    put(h - 1, 30);
    put(0, 3);           // no aspect ratio: the width follows
    put(3, 2);
    put(w - 1, 30);
    put(1, 1);           // all metadata default
    QByteArray out("\xFF\x0A", 2);
    for (std::size_t i = 0; i < bits.size(); i += 8) {
        int byte = 0;
        for (std::size_t b = 0; b < 8 && i + b < bits.size(); ++b)
            byte |= bits[i + b] << b;
        out += char(byte);
    }
    return out + QByteArray(16, '\0');
}

QImage solid(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    return image;
}

}  // namespace

std::vector<Entry> make(const QString& folder)
{
    const QByteArray dir = QFile::encodeName(folder) + "/";
    const QByteArray good = jpeg(640, 480);
    const QByteArray progressive = jpeg(640, 480, true);
    std::vector<Entry> made;
    auto file = [&](const QByteArray& name, const QByteArray& bytes, Entry::Outcome outcome, const char* what) {
        if (write(dir + name, bytes))
            made.push_back({name, true, outcome, what});
    };

    file("good.jpg", good, Entry::Shown, "an ordinary picture");
    file("zero-bytes.jpg", {}, Entry::ErrorPicture, "an empty file");
    file("header-only.jpg", good.left(20), Entry::ErrorPicture, "the first 20 bytes of a picture");
    file("half.jpg", good.left(good.size() / 2), Entry::Either, "half a picture (decoders show what they have)");
    file("half-progressive.jpg", progressive.left(progressive.size() / 2), Entry::Either, "half a progressive picture");
    {
        // Markers where the scan data should be: an end of image half-way, a
        // second start of image, a frame header with no room.
        QByteArray b = good;
        const qsizetype sos = markerAt(b, 0xDA);
        const qsizetype mid = sos + (b.size() - sos) / 2;
        b.replace(mid, 8, QByteArray("\xFF\xD9\xFF\xD8\xFF\xC0\x00\x02", 8));
        file("corrupt-markers.jpg", b, Entry::Either, "stray markers in the scan data");
        QByteArray noFrame = good;
        noFrame.remove(markerAt(good, 0xC0), 2 + ((static_cast<unsigned char>(good[markerAt(good, 0xC0) + 2]) << 8) |
                                                  static_cast<unsigned char>(good[markerAt(good, 0xC0) + 3])));
        file("no-frame-header.jpg", noFrame, Entry::ErrorPicture, "scan data with no frame header");
        QByteArray badLength = good;
        badLength[markerAt(good, 0xDB) + 2] = '\xFF';
        badLength[markerAt(good, 0xDB) + 3] = '\xFF';
        file("segment-length-65535.jpg", badLength, Entry::ErrorPicture, "a table segment claiming 65535 bytes");
    }
    file("claims-65535x65535.jpg", claiming(good, 65535, 65535), Entry::ErrorPicture, "a header claiming 65535 x 65535");
    file("progressive-claims-65000x65000.jpg", claiming(progressive, 65000, 65000), Entry::ErrorPicture,
         "a progressive header claiming 65000 x 65000");
    {
        // A frame header far from the start, behind what a quick walk over
        // the markers would give up on; libjpeg reads on to it. 20000 x 20000
        // progressive needs 1.2 GB of coefficients (3.2 GB in CMYK, which Qt's
        // reader decodes).
        const QByteArray comments = QByteArray("\xFF\xFE\x00\x02", 4).repeated(10001);
        const auto behind = [](const QByteArray& picture, const QByteArray& before) {
            return picture.left(2) + before + picture.mid(2);
        };
        const QByteArray huge = claiming(progressive, 20000, 20000);
        file("progressive-20000x20000-behind-comments.jpg", behind(huge, comments), Entry::ErrorPicture,
             "a progressive 20000 x 20000 header behind 10,001 comments");
        file("progressive-20000x20000-behind-stray-bytes.jpg", behind(huge, QByteArray(65 * 1024, '\0')),
             Entry::ErrorPicture, "a progressive 20000 x 20000 header behind 65 KiB of stray bytes");
        file("cmyk-progressive-20000x20000-behind-comments.jpg",
             behind(claiming(picturefiles::cmykJpeg(64, 48, true), 20000, 20000), comments), Entry::ErrorPicture,
             "a CMYK progressive 20000 x 20000 header behind 10,001 comments");
    }
    {
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::green);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        file("really-a-png.jpg", png, Entry::Shown, "a PNG named .jpg");
    }
    file("text.jpg", "This is not a picture.\n", Entry::ErrorPicture, "a text file");
    file(QByteArray("new\nline.jpg"), good, Entry::Shown, "a name with a line break");
    file(QByteArray("invalid-\xff\xfe-utf8.jpg"), good, Entry::Shown, "a name that is not UTF-8");
    file(QByteArray("caf\xe9.jpg"), good, Entry::Shown, "a Latin-1 name");

    // The other picture types (searched with their setting on).
    {
        using picturefiles::Kind;
        const QImage picture = solid(320, 240);
        const QByteArray junkProfile = QByteArray("not a colour profile at all ").repeated(8);
        const QByteArray png = picturefiles::encoded(picture, Kind::Png);
        file("ok.png", png, Entry::Shown, "a PNG");
        file("truncated.png", png.left(png.size() / 2), Entry::Either, "half a PNG");
        file("claims-60000x60000.png", pngWith(png, pngHeader(60000, 60000, 8, 2)), Entry::ErrorPicture,
             "a PNG header claiming 60000 x 60000");
        file("zero-size.png", pngWith(png, pngHeader(0, 0, 8, 2)), Entry::ErrorPicture, "a PNG of 0 x 0");
        file("bomb-16000x16000.png", pngBomb(16000, 16000), Entry::ErrorPicture,
             "a PNG of 256 MB of pixels in a few hundred kB");
        file("damaged-profile.png", pngWith(png, pngHeader(320, 240, 8, 2), pngChunk("iCCP", "x\0\0" + junkProfile)),
             Entry::Shown, "a PNG with a damaged colour profile");
        file("orientation-9.png",
             pngWith(png, pngHeader(320, 240, 8, 2),
                     pngChunk("eXIf", QByteArray("MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x09\0\0\0\0\0\0", 26))),
             Entry::Shown, "a PNG whose orientation is out of range");

        const QByteArray webp = picturefiles::encoded(picture, Kind::WebP);
        file("ok.webp", webp, Entry::Shown, "a WebP");
        file("truncated.webp", webp.left(webp.size() / 2), Entry::Either, "half a WebP");
        QByteArray hugeWebp = webp;
        if (const qsizetype at = hugeWebp.indexOf("VP8L"); at >= 0) {
            // 14 bits each of width - 1 and height - 1 after the signature byte.
            hugeWebp[at + 9] = '\xFF';
            hugeWebp[at + 10] = '\xFF';
            hugeWebp[at + 11] = '\xFF';
            hugeWebp[at + 12] = char(hugeWebp[at + 12] | 0x0F);
        }
        file("claims-16384x16384.webp", hugeWebp, Entry::ErrorPicture, "a WebP header claiming 16384 x 16384");
        file("orientation-0.webp", picturefiles::encoded(picture, Kind::WebP, 0), Entry::Shown,
             "a WebP whose orientation is out of range");

        for (const auto& [kind, extension] : {std::pair{Kind::Heic, QByteArray("heic")}, std::pair{Kind::Avif, QByteArray("avif")}}) {
            const QByteArray heif = picturefiles::encoded(picture, kind);
            file("ok." + extension, heif, Entry::Shown, kind == Kind::Heic ? "a HEIC" : "an AVIF");
            file("truncated." + extension, heif.left(heif.size() * 3 / 4), Entry::Either, "three quarters of a HEIF");
            file("claims-30000x30000." + extension, heifClaiming(heif, 30000, 30000), Entry::ErrorPicture,
                 "a HEIF claiming 30000 x 30000");
            file("zero-size." + extension, heifClaiming(heif, 0, 0), Entry::ErrorPicture, "a HEIF of 0 x 0");
            file("damaged-profile." + extension, picturefiles::encoded(picture, kind, 1, junkProfile), Entry::Shown,
                 "a HEIF with a damaged colour profile");
            // libheif refuses the colour description, after making it (the
            // encoder writes one for AVIF).
            if (const qsizetype at = heif.indexOf("colrnclx"); at >= 0)
                file("unknown-transfer." + extension, QByteArray(heif).replace(at + 10, 2, QByteArray("\x00\xFF", 2)),
                     Entry::Shown, "a HEIF whose colour description names an unknown transfer curve");
        }
        file("grid-4096-tiles.heic", picturefiles::heicGrid(64, 64, 64, qRgb(40, 120, 200)), Entry::ErrorPicture,
             "a HEIC of 64 x 64 tiles");
        // The grid's own description claims 24000 x 12000; its size property says 128 x 128.
        QByteArray hugeGrid = picturefiles::heicGrid(2, 2, 64, qRgb(40, 120, 200));
        if (const qsizetype at = hugeGrid.indexOf("mdat"); at >= 0)
            hugeGrid.replace(at + 8, 4, QByteArray("\x5D\xC0\x2E\xE0", 4));
        file("grid-claims-24000x12000.heic", hugeGrid, Entry::ErrorPicture,
             "a HEIC grid whose description claims 24000 x 12000");
        file("text.heic", "This is not a picture.\n", Entry::ErrorPicture, "a text file named .heic");
        file("jpeg-named.heic", good, Entry::Shown, "a JPEG named .heic");
        file("png-named.avif", png, Entry::Shown, "a PNG named .avif");

        const QByteArray jxl = picturefiles::encoded(picture, Kind::JpegXl);
        file("ok.jxl", jxl, Entry::Shown, "a JPEG XL");
        file("truncated.jxl", jxl.left(jxl.size() / 2), Entry::Either, "half a JPEG XL");
        file("claims-60000x60000.jxl", jpegXlClaiming(60000, 60000), Entry::ErrorPicture,
             "a JPEG XL header claiming 60000 x 60000");
        file("claims-6000x6000.jxl", jpegXlClaiming(6000, 6000), Entry::ErrorPicture,
             "a JPEG XL header claiming 6000 x 6000 with no data");
    }

    // The search leaves special files out; they may still turn up in place of
    // a file that was listed.
    if (::mkfifo((dir + "fifo.jpg").constData(), 0600) == 0)
        made.push_back({"fifo.jpg", false, Entry::ErrorPicture, "a FIFO with no writer"});
    if (::symlink("/dev/zero", (dir + "dev-zero.jpg").constData()) == 0)
        made.push_back({"dev-zero.jpg", false, Entry::ErrorPicture, "a link to /dev/zero"});
    // A link whose target is missing cannot be looked at, so it counts as a folder.
    if (::symlink("/nonexistent/missing.jpg", (dir + "dangling.jpg").constData()) == 0)
        made.push_back({"dangling.jpg", false, Entry::ErrorPicture, "a link to a missing file"});
    // A folder that contains itself: the walk goes down until the path is too long.
    ::mkdir((dir + "cycle").constData(), 0700);
    if (::symlink(".", (dir + "cycle/again").constData()) == 0)
        made.push_back({"cycle/again", false, Entry::ErrorPicture, "a folder link back to its own folder"});
    ::mkdir((dir + "folder.jpg").constData(), 0700);
    made.push_back({"folder.jpg", false, Entry::ErrorPicture, "a folder named .jpg"});

    // 2 GB of nothing, and 2 GB of nothing behind a picture's first segment.
    for (const auto& [name, head] : {std::pair<QByteArray, QByteArray>{"sparse-2gb.jpg", {}},
                                     std::pair<QByteArray, QByteArray>{"sparse-2gb-after-header.jpg", good.left(20)}}) {
        const int fd = ::open((dir + name).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            continue;
        const bool ok = ::write(fd, head.constData(), static_cast<size_t>(head.size())) == head.size() &&
                        ::ftruncate(fd, 2LL * 1024 * 1024 * 1024) == 0;
        ::close(fd);
        if (ok)
            made.push_back({name, true, Entry::ErrorPicture, "a 2 GB sparse file"});
    }
    return made;
}

}  // namespace hostile
