#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/viewer/PictureFiles.h"
#include "viewer/PictureLoader.h"

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

TEST(PictureLoader, HonoursTheExifOrientation)
{
    // Stored 300 x 200, left half red. Orientation 6 turns it a quarter clockwise:
    // upright 200 x 300 with the red half on top; 3 turns it half round.
    struct Case {
        int orientation;
        QSize natural;
        QPoint redAt, blueAt;
    } cases[] = {
        {1, {300, 200}, {10, 100}, {290, 100}},
        {6, {200, 300}, {100, 10}, {100, 290}},
        {8, {200, 300}, {100, 290}, {100, 10}},
        {3, {300, 200}, {290, 100}, {10, 100}},
    };
    for (const Case& c : cases) {
        QByteArray bytes = picturefiles::withOrientation(picturefiles::jpeg(300, 200), c.orientation);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        const Picture p = loadPicture(buffer, {1920, 1080});
        ASSERT_TRUE(p.ok()) << c.orientation;
        EXPECT_EQ(p.natural, c.natural) << c.orientation;
        ASSERT_EQ(p.image.size(), c.natural) << c.orientation;
        EXPECT_GT(qRed(p.image.pixel(c.redAt)), 200) << c.orientation;
        EXPECT_GT(qBlue(p.image.pixel(c.blueAt)), 200) << c.orientation;
    }

    // Turned upright, then fitted: 200 x 300 on a 400 x 150 screen shows at 100 x 150.
    QByteArray bytes = picturefiles::withOrientation(picturefiles::jpeg(300, 200), 6);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const Picture p = loadPicture(buffer, {400, 150});
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.image.size(), QSize(100, 150));
    EXPECT_GT(qRed(p.image.pixel(50, 5)), 200);
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
