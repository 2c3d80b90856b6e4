#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <functional>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <jpeglib.h>
#include <lcms2.h>

#include "tests/viewer/PictureFiles.h"
#include "viewer/JpegDecoder.h"
#include "viewer/PictureLoader.h"
#include "viewer/PixelMemory.h"

namespace {

// A load that blocks (on a FIFO, say) must fail the test, not hang it.
struct HangGuard {
    HangGuard() { alarm(20); }
    ~HangGuard() { alarm(0); }
};

QByteArray pathIn(const QTemporaryDir& dir, const QByteArray& name)
{
    return QFile::encodeName(dir.path()) + "/" + name;
}

constexpr char kAlone[] = "MARBLEGLEN_TEST_ALONE";

// True in a process started by expectPassesAlone.
bool runningAlone() { return qEnvironmentVariableIsSet(kAlone); }

// Runs the current test once more, alone, in a new process of this program, and
// fails when it fails there. That process's peak resident size belongs to the
// test; this one's holds the peaks of every earlier test. (A forked child will
// not do: picture scaling waits for Qt's worker threads, which fork leaves behind.)
void expectPassesAlone()
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kAlone, "1");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QString("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
    const bool ended = child.waitForFinished(50000);
    EXPECT_TRUE(ended && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
        << "alone, in a process of its own:\n" << child.readAll().toStdString();
    if (!ended)
        child.kill();
}

long residentKilobytes()
{
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(PictureLoader, DecodesToTheFittedSizeAndReportsTheNaturalSize)
{
    struct Case {
        QSize picture, screen, shown;
    } cases[] = {
        {{640, 480}, {1920, 1080}, {640, 480}},
        {{1600, 1200}, {800, 600}, {800, 600}},
        {{2400, 1200}, {1000, 1000}, {1000, 500}},
        {{1200, 2400}, {1280, 1024}, {512, 1024}},
    };
    for (bool progressive : {false, true}) {
        for (const Case& c : cases) {
            QByteArray bytes = picturefiles::jpeg(c.picture.width(), c.picture.height(), progressive);
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::ReadOnly);
            const Picture p = loadPicture(buffer, c.screen);
            ASSERT_TRUE(p.ok()) << p.error.toStdString();
            EXPECT_EQ(p.natural, c.picture);
            EXPECT_EQ(p.image.size(), c.shown) << c.picture.width() << "x" << c.picture.height();
        }
    }
}

// The colour in the middle of a quarter of the image: R, G, B or W for red,
// green, blue or white; '?' for none of them.
char quarterColour(const QImage& image, int quarterX, int quarterY)
{
    const QRgb p = image.pixel(image.width() * (1 + 2 * quarterX) / 4, image.height() * (1 + 2 * quarterY) / 4);
    const auto high = [](int v) { return v > 200; };
    const auto low = [](int v) { return v < 60; };
    if (high(qRed(p)) && high(qGreen(p)) && high(qBlue(p)))
        return 'W';
    if (high(qRed(p)) && low(qGreen(p)) && low(qBlue(p)))
        return 'R';
    if (low(qRed(p)) && high(qGreen(p)) && low(qBlue(p)))
        return 'G';
    if (low(qRed(p)) && low(qGreen(p)) && high(qBlue(p)))
        return 'B';
    return '?';
}

TEST(PictureLoader, HonoursTheExifOrientation)
{
    // Stored 300 x 200 in quarters red, green over blue, white. The colours of
    // the upright picture's quarters, left to right and top to bottom:
    // 2 mirrors, 3 turns half round, 4 flips, 6 turns a quarter clockwise, 8 back.
    const char* const upright[] = {"RGBW", "GRWB", "WBGR", "BWRG", "RBGW", "BRWG", "WGBR", "GWRB"};
    const QByteArray stored = picturefiles::quarters(300, 200);
    // As it is (for 1 decoded straight into the image), and shrunk to 30 %.
    for (const QSize screen : {QSize(1920, 1080), QSize(90, 90)}) {
        for (int orientation = 1; orientation <= 8; ++orientation) {
            QByteArray bytes = picturefiles::withOrientation(stored, orientation);
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::ReadOnly);
            const Picture p = loadPicture(buffer, screen);
            ASSERT_TRUE(p.ok()) << orientation;
            const QSize natural = orientation >= 5 ? QSize(200, 300) : QSize(300, 200);
            EXPECT_EQ(p.natural, natural) << orientation;
            ASSERT_EQ(p.image.size(), screen.width() < 300 ? natural * 0.3 : natural) << orientation;
            const std::string got{quarterColour(p.image, 0, 0), quarterColour(p.image, 1, 0),
                                  quarterColour(p.image, 0, 1), quarterColour(p.image, 1, 1)};
            EXPECT_EQ(got, upright[orientation - 1]) << orientation << " on " << screen.width();
        }
    }
}

// "Exif\0\0" and a TIFF header in either byte order, its first folder at
// `folder` holding `claimed` entries of which those given are written.
struct Entry {
    unsigned tag, type, count, value;
};
QByteArray exifBlock(bool little, std::vector<Entry> entries, int claimed = -1, unsigned folder = 8)
{
    QByteArray b("Exif\0\0", 6);
    const auto put = [&](unsigned v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b += char(v >> (8 * (little ? i : bytes - 1 - i)));
    };
    b += little ? "II" : "MM";
    put(42, 2);
    put(folder, 4);
    put(claimed < 0 ? unsigned(entries.size()) : unsigned(claimed), 2);
    for (const Entry& e : entries) {
        put(e.tag, 2);
        put(e.type, 2);
        put(e.count, 4);
        put(e.value, 2);  // a SHORT sits at the start of the value's four bytes
        put(0, 2);
    }
    return b;
}

TEST(JpegDecoder, ReadsTheExifOrientationOrSaysAsStored)
{
    constexpr unsigned kTag = 0x0112, kShort = 3;
    struct Case {
        const char* what;
        QByteArray block;
        int expected;
    };
    std::vector<Case> cases;
    for (bool little : {true, false})
        for (unsigned v = 1; v <= 8; ++v)
            cases.push_back({little ? "little-endian" : "big-endian", exifBlock(little, {{kTag, kShort, 1, v}}), int(v)});
    const Entry other{0x010F, 2, 4, 0x4142};
    const QByteArray cut = exifBlock(true, {other, {kTag, kShort, 1, 6}});
    cases.insert(cases.end(), {
        {"after other tags", exifBlock(false, {other, other, {kTag, kShort, 1, 6}}), 6},
        {"folder past the end", exifBlock(true, {{kTag, kShort, 1, 6}}, -1, 1000), 1},
        {"folder at the largest offset", exifBlock(false, {{kTag, kShort, 1, 6}}, -1, 0xFFFFFFFFu), 1},
        {"more entries claimed than there are", exifBlock(true, {other}, 40), 1},
        {"the entry cut short", cut.chopped(3), 1},
        {"type LONG", exifBlock(true, {{kTag, 4, 1, 6}}), 1},
        {"count 2", exifBlock(false, {{kTag, kShort, 2, 6}}), 1},
        {"value 0", exifBlock(true, {{kTag, kShort, 1, 0}}), 1},
        {"value 9", exifBlock(false, {{kTag, kShort, 1, 9}}), 1},
        {"not 42", exifBlock(true, {{kTag, kShort, 1, 6}}).replace(8, 1, "\x2b", 1), 1},
        {"no byte order", exifBlock(true, {{kTag, kShort, 1, 6}}).replace(6, 2, "IM"), 1},
        {"shorter than the header", exifBlock(true, {}).left(12), 1},
        {"only the signature", QByteArray("Exif\0\0", 6), 1},
    });
    for (const Case& c : cases) {
        // An exact copy on the heap, so that a read past its end shows under the sanitizers.
        const std::vector<unsigned char> data(c.block.begin(), c.block.end());
        EXPECT_EQ(exifOrientation(data.data(), data.size()), c.expected) << c.what;
    }
}

TEST(JpegDecoder, StopsBetweenRowsOnceNoLongerWanted)
{
    // Small enough to be read at once: only the rows can stop it.
    QByteArray bytes = picturefiles::jpeg(800, 600);
    ASSERT_LT(bytes.size(), 16 * 1024);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    std::atomic<bool> stop{false};
    JpegDecoder jpeg(buffer, &stop);
    ASSERT_TRUE(jpeg.readHeader());
    int rows = 0;
    EXPECT_FALSE(jpeg.decode([&](const std::uint32_t*) {
        if (++rows == 5)
            stop = true;
    }));
    EXPECT_LT(rows, 100);
    EXPECT_FALSE(jpeg.error().isEmpty());
}

TEST(JpegDecoder, KeepsLibjpegsWholePictureMemoryWithinItsLimit)
{
    // 640 x 480 in 4:2:0: 4800 luminance and 2 x 1200 colour blocks of 128 bytes.
    constexpr std::size_t kProgressiveBytes = 921600;
    const QByteArray progressive = picturefiles::jpeg(640, 480, true), baseline = picturefiles::jpeg(640, 480);
    struct Case {
        const char* what;
        QByteArray bytes;
        std::size_t limit, wholePicture;
        bool decodes;
    } cases[] = {
        {"progressive, well within", progressive, JpegDecoder::kMemoryLimit, kProgressiveBytes, true},
        {"progressive, just within", progressive, kProgressiveBytes + 64 * 1024, kProgressiveBytes, true},
        {"progressive, just past", progressive, kProgressiveBytes - 1, kProgressiveBytes, false},
        {"progressive, limit 0", progressive, 0, kProgressiveBytes, false},
        {"baseline, a few rows at a time", baseline, 64 * 1024, 0, true},
    };
    for (const Case& c : cases) {
        QByteArray bytes = c.bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        JpegDecoder jpeg(buffer, nullptr, c.limit);
        ASSERT_TRUE(jpeg.readHeader()) << c.what;
        EXPECT_EQ(jpeg.wholePictureBytes(), c.wholePicture) << c.what;
        // Decoded whatever the headers said, as by a caller that did not look:
        // libjpeg itself refuses before it allocates.
        EXPECT_EQ(jpeg.decode([](const std::uint32_t*) {}), c.decodes) << c.what;
        if (!c.decodes) {
            EXPECT_EQ(jpeg.error().toStdString(), "The picture is too large to decode.") << c.what;
        }
    }
}

// libjpeg's own decode of a whole file at a scale of eighths/8, into the
// decoder's output colours, with libjpeg's own memory for its coefficients.
QImage libjpegDecode(const QByteArray& bytes, unsigned eighths)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    errors.emit_message = [](j_common_ptr, int) {};  // a file cut short warns
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = eighths;
    cinfo.scale_denom = 8;
    cinfo.out_color_space = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRX : JCS_EXT_XRGB;
    jpeg_start_decompress(&cinfo);
    QImage image(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), QImage::Format_RGB32);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_destroy_decompress(&cinfo);
    return image;
}

TEST(JpegDecoder, DecodesAFileOfManyScansExactlyAsLibjpegDoes)
{
    // Noise: every coefficient busy, many too large for a byte; the halves:
    // most coefficients zero. A file cut short is smoothed from the rows
    // around each one.
    const QByteArray noise = picturefiles::noiseJpeg(640, 480, true);
    const QByteArray halves = picturefiles::jpeg(1200, 900, true);
    struct Case {
        const char* what;
        QByteArray bytes;
        unsigned eighths;
    } cases[] = {
        {"noise", noise, 8},
        {"noise at half size", noise, 4},
        {"noise, cut in half", noise.left(noise.size() / 2), 8},
        {"noise, cut in its first scans", noise.left(noise.size() / 30), 8},
        {"halves at 3/8", halves, 3},
        {"halves, cut in half", halves.left(halves.size() / 2), 8},
    };
    for (const Case& c : cases) {
        const QImage expected = libjpegDecode(c.bytes, c.eighths);
        QByteArray bytes = c.bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        JpegDecoder jpeg(buffer);
        ASSERT_TRUE(jpeg.readHeader()) << c.what;
        ASSERT_GT(jpeg.wholePictureBytes(), 0u) << c.what;
        ASSERT_EQ(jpeg.scaleFor(expected.size()), expected.size()) << c.what;
        int y = 0, wrong = -1;
        ASSERT_TRUE(jpeg.decode([&](const std::uint32_t* row) {
            if (wrong < 0 && std::memcmp(row, expected.constScanLine(y), std::size_t(expected.width()) * 4) != 0)
                wrong = y;
            ++y;
        })) << c.what << ": " << jpeg.error().toStdString();
        EXPECT_EQ(y, expected.height()) << c.what;
        EXPECT_EQ(wrong, -1) << c.what << ": the first row that differs";
    }
}

long statusKilobytes(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

TEST(JpegDecoder, KeepsAProgressivePicturesCoefficientsPacked)
{
    if (!runningAlone())
        return expectPassesAlone();
    // 4096 x 4096 in 4:2:0: 393,216 blocks, 48 MiB as libjpeg holds them.
    QByteArray bytes = picturefiles::jpeg(4096, 4096, true);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    JpegDecoder jpeg(buffer);
    ASSERT_TRUE(jpeg.readHeader());
    ASSERT_EQ(jpeg.wholePictureBytes(), std::size_t(48) << 20);
    ASSERT_TRUE(jpeg.scaleFor({512, 512}).isValid());
    // The peak counted from here on (Linux 4.0 and later).
    if (!(std::ofstream("/proc/self/clear_refs") << "5"))
        GTEST_SKIP() << "the peak resident size cannot be reset here";
    const long before = statusKilobytes("VmRSS");
    ASSERT_TRUE(jpeg.decode([](const std::uint32_t*) {})) << jpeg.error().toStdString();
    EXPECT_LT(statusKilobytes("VmHWM") - before, 12 * 1024) << "the decode took a quarter of the unpacked size or more";
}

TEST(PictureLoader, APictureNoLongerWantedIsNotLoaded)
{
    QTemporaryDir dir;
    const QByteArray path = pathIn(dir, "wanted.jpg");
    ASSERT_TRUE(picturefiles::write(QFile::decodeName(path), picturefiles::jpeg(640, 480)));
    const std::atomic<bool> stop{true};
    const Picture p = loadPictureFile(path, {1920, 1080}, &stop);
    EXPECT_FALSE(p.ok());
    EXPECT_TRUE(p.image.isNull());
}

TEST(PictureLoader, ShowsATruncatedJpegAndACmykOne)
{
    // A baseline JPEG cut short shows what it holds, the rest grey.
    QByteArray cut = picturefiles::jpeg(400, 300);
    cut.chop(cut.size() / 4);
    QBuffer buffer(&cut);
    buffer.open(QIODevice::ReadOnly);
    const Picture p = loadPicture(buffer, {1920, 1080});
    ASSERT_TRUE(p.ok()) << p.error.toStdString();
    EXPECT_EQ(quarterColour(p.image, 0, 0), 'R');
    const QRgb grey = p.image.pixel(10, 295);
    EXPECT_TRUE(qAbs(qRed(grey) - 128) < 8 && qAbs(qGreen(grey) - 128) < 8 && qAbs(qBlue(grey) - 128) < 8)
        << std::hex << grey;

    // CMYK is left to Qt's reader.
    QByteArray cmyk = picturefiles::cmykJpeg(64, 48);
    QBuffer cmykBuffer(&cmyk);
    cmykBuffer.open(QIODevice::ReadOnly);
    const Picture q = loadPicture(cmykBuffer, {1920, 1080});
    EXPECT_TRUE(q.ok()) << q.error.toStdString();
    EXPECT_EQ(q.image.size(), QSize(64, 48));
}

TEST(PixelMemory, HandsOutTheMemoryOfDroppedPicturesAgain)
{
    PixelMemory memory(2);
    const QSize size(640, 480);
    QImage first = memory.image(size);
    const uchar* const bits = first.constBits();
    first = QImage();
    EXPECT_EQ(memory.keptCount(), 1);
    QImage again = memory.image(size), other = memory.image(size);
    EXPECT_EQ(again.constBits(), bits);
    EXPECT_NE(other.constBits(), bits);
    EXPECT_EQ(memory.keptCount(), 0);

    // A much larger picture takes new memory, and so does a much smaller one.
    again = QImage();
    const QImage larger = memory.image(size * 2), smaller = memory.image(size / 2);
    EXPECT_NE(larger.constBits(), bits);
    EXPECT_NE(smaller.constBits(), bits);
    EXPECT_EQ(memory.keptCount(), 1);

    // Of four dropped, two are kept.
    std::vector<QImage> four(4, QImage());
    for (QImage& image : four)
        image = memory.image(size);
    four.clear();
    EXPECT_EQ(memory.keptCount(), 2);
    memory.setKept(1);  // a larger screen's room
    EXPECT_EQ(memory.keptCount(), 1);

    // A picture may outlive the memory it came from.
    QImage survivor;
    {
        PixelMemory shortLived;
        survivor = shortLived.image({64, 48});
    }
    survivor.fill(Qt::green);
    EXPECT_EQ(survivor.pixel(63, 47), QColor(Qt::green).rgb());
}

TEST(PictureLoader, SpecialFilesFailAtOnceWithoutBeingOpened)
{
    HangGuard guard;
    QTemporaryDir dir;
    const QByteArray fifo = pathIn(dir, "pipe.jpg");
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);

    const QByteArray socketPath = pathIn(dir, "socket.jpg");
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const QByteArray folder = pathIn(dir, "folder.jpg");
    ASSERT_EQ(mkdir(folder.constData(), 0700), 0);

    for (const QByteArray& path : {fifo, socketPath, folder, QByteArray("/dev/zero"), QByteArray("/dev/null"),
                                   pathIn(dir, "missing.jpg"), QByteArray()}) {
        QElapsedTimer timer;
        timer.start();
        const Picture p = loadPictureFile(path, {1920, 1080});
        EXPECT_FALSE(p.ok()) << path.constData();
        EXPECT_LT(timer.elapsed(), 1000) << path.constData();
    }
    close(sock);
}

TEST(PictureLoader, OpensNamesThatAreNotValidUtf8ByTheirBytes)
{
    QTemporaryDir dir;
    const QByteArray latin1 = pathIn(dir, "\xe9t\xe9 \xff.jpg");
    // Written by the bytes: Qt's file names would re-encode the name.
    FILE* f = fopen(latin1.constData(), "wb");
    ASSERT_NE(f, nullptr);
    const QByteArray bytes = picturefiles::jpeg(64, 48);
    ASSERT_EQ(fwrite(bytes.constData(), 1, bytes.size(), f), size_t(bytes.size()));
    fclose(f);
    const Picture p = loadPictureFile(latin1, {1920, 1080});
    EXPECT_TRUE(p.ok()) << p.error.toStdString();
    EXPECT_EQ(p.natural, QSize(64, 48));
}

TEST(PictureLoader, BrokenAndHostileFilesNeverCrashOrRunAway)
{
    if (!runningAlone())
        return expectPassesAlone();
    const long before = residentKilobytes();
    HangGuard guard;
    const QByteArray good = picturefiles::jpeg(1200, 900);
    const QByteArray goodProgressive = picturefiles::jpeg(1200, 900, true);
    struct Case {
        const char* what;
        QByteArray bytes;
        bool mayShow;  // false: must be the error picture
    } cases[] = {
        {"claims 60000 x 60000", picturefiles::claimingSize(good, 60000, 60000), true},
        {"progressive, claims 60000 x 60000", picturefiles::claimingSize(goodProgressive, 60000, 60000), false},
        {"progressive, claims 30000 x 20000", picturefiles::claimingSize(goodProgressive, 30000, 20000), false},
        {"claims 65000 x 4000", picturefiles::claimingSize(good, 65000, 4000), true},
        {"claims 0 x 0", picturefiles::claimingSize(good, 0, 0), false},
        {"cut in half", good.left(good.size() / 2), true},
        {"progressive, cut in half", goodProgressive.left(goodProgressive.size() / 2), true},
        {"only the start marker", good.left(2), false},
        {"cut inside the headers", good.left(100), false},
        {"empty", QByteArray(), false},
        {"not a picture", QByteArray("just some text, named like a picture\n"), false},
        {"progressive, 20000 scans", picturefiles::withEmptyScans(goodProgressive, 20000), false},
    };
    for (const Case& c : cases) {
        QByteArray bytes = c.bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QElapsedTimer timer;
        timer.start();
        const Picture p = loadPicture(buffer, {1920, 1080});
        EXPECT_LT(timer.elapsed(), 5000) << c.what;
        if (!c.mayShow) {
            EXPECT_FALSE(p.ok()) << c.what;
        }
        if (p.ok()) {
            EXPECT_FALSE(p.image.isNull()) << c.what;
            EXPECT_LE(p.image.width(), 1920) << c.what;
            EXPECT_LE(p.image.height(), 1080) << c.what;
        }
    }
    EXPECT_GT(before, 0);
    EXPECT_LT(peakKilobytes() - before, 200 * 1024) << "peak memory grew by more than 200 MB";
}

}  // namespace

namespace {

using picturefiles::adobeRgb;
using picturefiles::displayP3;
using picturefiles::referenceConversion;
using picturefiles::savedProfile;
using picturefiles::sRgb;

int largestDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return 256;
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                std::abs(qBlue(p) - qBlue(q))});
        }
    return largest;
}

// A buffer that remembers the largest read asked of it.
class ReadRecorder : public QBuffer {
public:
    qint64 largest = 0;

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        largest = std::max(largest, maxSize);
        return QBuffer::readData(data, maxSize);
    }
};

Picture loaded(QByteArray bytes, QSize screen, const QColorSpace& display = {})
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return loadPicture(buffer, screen, nullptr, nullptr, display);
}

}  // namespace

TEST(PictureLoader, ConvertsThePicturesOwnColoursToTheScreensAtTheFittedSize)
{
    const QByteArray p3 = displayP3();
    QByteArray truncated = p3.left(p3.size() / 2);
    QByteArray badTags = p3;
    badTags[128] = '\x7f';  // a tag count far beyond the profile
    QByteArray wrongSize = p3;
    wrongSize[0] = '\x7f';  // a declared size far beyond the data
    QByteArray noPrimaries = p3;
    for (const char* tag : {"rXYZ", "gXYZ", "bXYZ"}) {
        const qsizetype at = noPrimaries.indexOf(tag);
        const qsizetype offset = (uchar(noPrimaries[at + 4]) << 24) | (uchar(noPrimaries[at + 5]) << 16) |
                                 (uchar(noPrimaries[at + 6]) << 8) | uchar(noPrimaries[at + 7]);
        noPrimaries.replace(offset + 8, 12, QByteArray(12, '\0'));
    }
    cmsToneCurve* greyCurve = cmsBuildGamma(nullptr, 2.2);
    const QByteArray grey = savedProfile(cmsCreateGrayProfile(cmsD50_xyY(), greyCurve));
    cmsFreeToneCurve(greyCurve);
    const QByteArray lab = savedProfile(cmsCreateLab4Profile(nullptr));

    // A saturated P3 red and a skin tone; the screen's profile, the file's, and
    // what it must come out as (the reference's conversion, or as it is).
    const QRgb colours[] = {qRgb(250, 20, 30), qRgb(210, 150, 120)};
    enum Expect { Converted, AsItIs };
    struct Case {
        const char* what;
        std::function<QByteArray(const QByteArray&)> mark;
        QByteArray from, display;
        Expect expect;
        int orientation = 1;  // EXIF's
    } cases[] = {
        {"a Display P3 profile", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, p3); }, p3, {},
         Converted},
        {"a Display P3 profile, turned a quarter", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, p3); },
         p3, {}, Converted, 6},
        {"a Display P3 profile, upside down", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, p3); },
         p3, {}, Converted, 4},
        {"the profile in three chunks", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, p3, 3); },
         p3, {}, Converted},
        {"Adobe RGB marked in EXIF only", [](const QByteArray& j) { return picturefiles::withExifAdobeRgb(j); },
         adobeRgb(), {}, Converted},
        {"Display P3 on a Display P3 screen", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, p3); },
         p3, p3, AsItIs},
        {"sRGB on an Adobe RGB screen", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, sRgb()); },
         sRgb(), adobeRgb(), Converted},
        {"EXIF with another interoperability index",
         [](const QByteArray& j) { return picturefiles::withExifAdobeRgb(j, "THM"); }, {}, {}, AsItIs},
        {"a truncated profile", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, truncated); }, {},
         {}, AsItIs},
        {"a profile with a bad tag table", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, badTags); },
         {}, {}, AsItIs},
        {"a profile claiming a wrong size",
         [&](const QByteArray& j) { return picturefiles::withIccProfile(j, wrongSize); }, {}, {}, AsItIs},
        {"a profile without primaries",
         [&](const QByteArray& j) { return picturefiles::withIccProfile(j, noPrimaries); }, {}, {}, AsItIs},
        {"a grey profile", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, grey); }, {}, {}, AsItIs},
        {"a Lab profile", [&](const QByteArray& j) { return picturefiles::withIccProfile(j, lab); }, {}, {}, AsItIs},
        {"profile chunks out of order",
         [&](const QByteArray& j) { return picturefiles::withIccProfile(j, p3, 2, 2); }, {}, {}, AsItIs},
        {"no profile on a Display P3 screen", [](const QByteArray& j) { return j; }, {}, p3, AsItIs},
    };
    // At its own size (decoded straight into the image), shrunk, and large
    // enough to be converted in bands while it is decoded.
    const std::pair<QSize, QSize> sizes[] = {
        {{640, 480}, {1920, 1080}}, {{640, 480}, {320, 240}}, {{1600, 1200}, {1920, 1080}}};
    for (const QRgb colour : colours) {
        for (const auto& [size, screen] : sizes) {
            const QByteArray plain = picturefiles::solidJpeg(size.width(), size.height(), colour);
            const Picture asItIs = loaded(plain, screen);
            ASSERT_TRUE(asItIs.ok());
            for (const Case& c : cases) {
                const QColorSpace display = c.display.isEmpty() ? QColorSpace() : QColorSpace::fromIccProfile(c.display);
                const QByteArray turned = c.orientation == 1 ? plain : picturefiles::withOrientation(plain, c.orientation);
                const Picture p = loaded(c.mark(turned), screen, display);
                ASSERT_TRUE(p.ok()) << c.what << ": " << p.error.toStdString();
                const QImage plainShown = c.orientation == 1 ? asItIs.image : loaded(turned, screen).image;
                if (c.expect == AsItIs) {
                    EXPECT_EQ(p.image, plainShown) << c.what;
                    continue;
                }
                const QImage reference = referenceConversion(plainShown, c.from, c.display.isEmpty() ? sRgb() : c.display);
                EXPECT_LE(largestDifference(p.image, reference), 2) << c.what << " at " << screen.width();
                EXPECT_GT(largestDifference(p.image, plainShown), 2) << c.what << ": no visible change";
            }
        }
    }
}

TEST(PictureLoader, ShowsTheOtherTypesUprightInTheirColoursAtTheFittedSize)
{
    using picturefiles::Kind;
    // The quarters as in HonoursTheExifOrientation; each type's own
    // orientation data (HEIF's rotation and mirroring, JPEG XL's header).
    const char* const upright[] = {"RGBW", "GRWB", "WBGR", "BWRG", "RBGW", "BRWG", "WGBR", "GWRB"};
    QImage quarters(300, 200, QImage::Format_RGB32);
    quarters.fill(Qt::white);
    for (const auto& [rect, colour] : {std::pair{QRect(0, 0, 150, 100), QColor(Qt::red)},
                                       std::pair{QRect(150, 0, 150, 100), QColor(Qt::green)},
                                       std::pair{QRect(0, 100, 150, 100), QColor(Qt::blue)}})
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                quarters.setPixel(x, y, colour.rgb());
    struct Case {
        Kind kind;
        std::vector<int> orientations;
    } cases[] = {
        {Kind::Png, {1, 2, 3, 4, 5, 6, 7, 8}},
        {Kind::WebP, {1, 3, 6, 8}},
        {Kind::Heic, {1, 2, 3, 4, 5, 6, 7, 8}},
        {Kind::Avif, {1, 3, 6, 8}},
        {Kind::JpegXl, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    const QByteArray p3 = displayP3();
    for (const Case& c : cases) {
        for (const int orientation : c.orientations) {
            const QByteArray file = picturefiles::encoded(quarters, c.kind, orientation);
            ASSERT_FALSE(file.isEmpty()) << picturefiles::nameOf(c.kind);
            const QSize natural = orientation >= 5 ? QSize(200, 300) : QSize(300, 200);
            // At its own size and shrunk to 30 %.
            for (const QSize screen : {QSize(1920, 1080), QSize(90, 90)}) {
                const Picture p = loaded(file, screen);
                ASSERT_TRUE(p.ok()) << picturefiles::nameOf(c.kind) << ": " << p.error.toStdString();
                EXPECT_EQ(p.natural, natural) << picturefiles::nameOf(c.kind) << " " << orientation;
                ASSERT_EQ(p.image.size(), screen.width() < 300 ? natural * 0.3 : natural)
                    << picturefiles::nameOf(c.kind) << " " << orientation;
                const std::string seen{quarterColour(p.image, 0, 0), quarterColour(p.image, 1, 0),
                                       quarterColour(p.image, 0, 1), quarterColour(p.image, 1, 1)};
                EXPECT_EQ(seen, upright[orientation - 1]) << picturefiles::nameOf(c.kind) << " " << orientation;
            }
        }
        // Its ICC profile converts it as a JPEG's does; without one it is as it is.
        const QImage skin = [] {
            QImage i(64, 48, QImage::Format_RGB32);
            i.fill(qRgb(210, 150, 120));
            return i;
        }();
        const QByteArray plainFile = picturefiles::encoded(skin, c.kind);
        const Picture plain = loaded(plainFile, {1920, 1080});
        // Never more asked of the file than it holds (a read of the loader's
        // file limit reserves that much for each picture).
        ReadRecorder device;
        device.setData(plainFile);
        ASSERT_TRUE(device.open(QIODevice::ReadOnly));
        EXPECT_TRUE(loadPicture(device, {1920, 1080}).ok()) << picturefiles::nameOf(c.kind);
        EXPECT_LE(device.largest, plainFile.size()) << picturefiles::nameOf(c.kind);
        const Picture tagged = loaded(picturefiles::encoded(skin, c.kind, 1, p3), {1920, 1080});
        ASSERT_TRUE(plain.ok() && tagged.ok()) << picturefiles::nameOf(c.kind);
        EXPECT_LE(largestDifference(tagged.image, referenceConversion(plain.image, p3, sRgb())), 2)
            << picturefiles::nameOf(c.kind);
        EXPECT_GT(largestDifference(tagged.image, plain.image), 2) << picturefiles::nameOf(c.kind);
    }
    // A grid of tiles, as phones store their photos, put together whole.
    const Picture grid = loaded(picturefiles::heicGrid(3, 2, 64, qRgb(0, 0, 255)), {1920, 1080});
    ASSERT_TRUE(grid.ok()) << grid.error.toStdString();
    EXPECT_EQ(grid.natural, QSize(192, 128));
    EXPECT_EQ(quarterColour(grid.image, 1, 1), 'B');
}
