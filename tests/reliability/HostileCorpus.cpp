#include "HostileCorpus.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/viewer/PictureFiles.h"

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
