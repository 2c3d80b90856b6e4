#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "tests/viewer/PictureFiles.h"
#include "viewer/PicturePreparer.h"

namespace {

class Preparer : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 5; ++i) {
            const QString file = dir_.filePath(QString::number(i) + ".jpg");
            ASSERT_TRUE(picturefiles::write(file, picturefiles::jpeg(200 + 100 * i, 100)));
            paths_.push_back(QFile::encodeName(file));
        }
    }
    bool waitReady(const QByteArray& path)
    {
        QElapsedTimer timer;
        timer.start();
        while (!preparer_.isReady(path, kScreen) && timer.elapsed() < 5000)
            QThread::msleep(5);
        return preparer_.isReady(path, kScreen);
    }

    static constexpr QSize kScreen{400, 300};
    QTemporaryDir dir_;
    std::vector<QByteArray> paths_;
    PicturePreparer preparer_;
};

TEST_F(Preparer, HoldsWhatTheRoomForTheScreenSaysKeepingTheMostRecentlyAskedFor)
{
    for (const QByteArray& p : paths_)
        preparer_.prepare(p, kScreen);
    EXPECT_EQ(preparer_.heldCount(), 3);
    EXPECT_TRUE(waitReady(paths_[4]));
    EXPECT_TRUE(waitReady(paths_[2]));
    EXPECT_FALSE(preparer_.isReady(paths_[0], kScreen));
    EXPECT_FALSE(preparer_.isReady(paths_[4], QSize(800, 600))) << "another screen needs another decode";

    const Picture p = preparer_.take(paths_[3], kScreen);  // fitted to the screen's width
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.image.size(), QSize(400, 80));
    EXPECT_EQ(preparer_.heldCount(), 3);

    // A 3840 x 2160 screen's pictures leave room for two.
    const QSize large(3840, 2160);
    for (const QByteArray& path : paths_)
        preparer_.prepare(path, large);
    EXPECT_EQ(preparer_.heldCount(), 2);
    EXPECT_TRUE(preparer_.take(paths_[3], large).ok());
    EXPECT_EQ(preparer_.heldCount(), 2);
}

TEST_F(Preparer, TakingWhatWasNeverPreparedDecodesItAndFailuresAreReported)
{
    const Picture p = preparer_.take(paths_[0], kScreen);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.image.size(), QSize(200, 100));
    EXPECT_TRUE(preparer_.isReady(paths_[0], kScreen));

    const QByteArray missing = QFile::encodeName(dir_.filePath("missing.jpg"));
    preparer_.prepare(missing, kScreen);
    EXPECT_FALSE(preparer_.take(missing, kScreen).ok());
    EXPECT_FALSE(preparer_.take(QByteArray(), kScreen).ok());
}

TEST_F(Preparer, AFileChangedSinceDecodingIsDecodedAgain)
{
    // A 200 x 100 picture, then one of 100 x 200, padded to the same length (a
    // decoder stops at the end of the picture). Times are set by hand: two
    // writes within one clock tick of the file system have the same time.
    const QByteArray jpegA = picturefiles::jpeg(200, 100), jpegB = picturefiles::jpeg(100, 200);
    const qsizetype length = std::max(jpegA.size(), jpegB.size());
    auto padded = [](const QByteArray& bytes, qsizetype to) { return bytes + QByteArray(to - bytes.size(), '\0'); };
    const QByteArray a = padded(jpegA, length);
    const QByteArray bSameLength = padded(jpegB, length);
    const QByteArray b = padded(jpegB, length + 512);
    const QString file = dir_.filePath("changing.jpg");
    const QString beside = dir_.filePath("beside.jpg");
    const QByteArray path = QFile::encodeName(file);
    auto writeAt = [](const QString& to, const QByteArray& bytes, long seconds) {
        ASSERT_TRUE(picturefiles::write(to, bytes));
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(to).constData(), times, 0), 0);
    };
    const struct {
        const char* change;
        bool thereWhenPrepared;
        std::function<void()> apply;
        QSize shown;
    } cases[] = {
        {"none", true, [] {}, {200, 100}},
        {"rewritten in place, another length", true, [&] { writeAt(file, b, 1000); }, {100, 200}},
        {"rewritten in place, same length, new time", true, [&] { writeAt(file, bSameLength, 2000); },
         {100, 200}},
        {"replaced, same length and time", true,
         [&] {
             writeAt(beside, bSameLength, 1000);
             ASSERT_EQ(::rename(QFile::encodeName(beside).constData(), path.constData()), 0);
         },
         {100, 200}},
        {"created after a failed prepare", false, [&] { writeAt(file, a, 1000); }, {200, 100}},
    };
    for (const auto& c : cases) {
        QFile::remove(file);
        if (c.thereWhenPrepared)
            writeAt(file, a, 1000);
        preparer_.prepare(path, kScreen);
        ASSERT_TRUE(waitReady(path)) << c.change;
        c.apply();
        const Picture shown = preparer_.take(path, kScreen);
        ASSERT_TRUE(shown.ok()) << c.change;
        EXPECT_EQ(shown.image.size(), c.shown) << c.change;
        // Unchanged, it is handed over again as it was, not decoded anew.
        EXPECT_EQ(preparer_.take(path, kScreen).image.cacheKey(), shown.image.cacheKey()) << c.change;
    }

    // A failure met at a step is not remembered: once the file is there, it shows.
    QFile::remove(file);
    EXPECT_FALSE(preparer_.take(path, kScreen).ok());
    writeAt(file, a, 1000);
    EXPECT_TRUE(preparer_.take(path, kScreen).ok());
}

// A window waiting for a picture may close, and go, before the picture is
// decoded (a held key, then Escape): nothing may then run on it. A waiter
// that stays is told once, whether the picture was decoded or dropped.
TEST_F(Preparer, AWaitIsToldOnceAndNeverOutlivesItsWaiter)
{
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(picturefiles::write(QFile::decodeName(paths_[static_cast<size_t>(i)]), picturefiles::jpeg(3000, 2000)));
    int told[4] = {0, 0, 0, 0};
    QObject stays;
    auto* goes = new QObject;
    auto* goesWhileDropped = new QObject;
    preparer_.whenReady(paths_[0], kScreen, &stays, [&] { ++told[0]; });
    preparer_.whenReady(paths_[1], kScreen, goes, [&] { ++told[1]; });
    preparer_.whenReady(paths_[2], kScreen, goesWhileDropped, [&] { ++told[2]; });
    delete goes;
    preparer_.dropUnfinishedBut(paths_[1], kScreen);  // drops 0 and 2
    delete goesWhileDropped;
    preparer_.whenReady(paths_[3], kScreen, &stays, [&] { ++told[3]; });
    EXPECT_TRUE(waitReady(paths_[1]));
    EXPECT_TRUE(waitReady(paths_[3]));
    QTest::qWait(200);  // what is posted to the waiters arrives
    EXPECT_EQ(told[0], 1) << "dropped";
    EXPECT_EQ(told[1], 0) << "its waiter went first";
    EXPECT_EQ(told[2], 0) << "dropped, then its waiter went";
    EXPECT_EQ(told[3], 1) << "decoded";

    // The same with the waiter going at any moment of the decode, over and over.
    int late = 0;
    for (int round = 0; round < 300; ++round) {
        const QByteArray path = paths_[static_cast<size_t>(round % 4)];
        auto* waiter = new QObject;
        preparer_.dropUnfinishedBut(path, QSize(round % 7 + 40, 30));
        preparer_.whenReady(path, QSize(round % 7 + 40, 30), waiter, [&] { ++late; });
        QThread::usleep(static_cast<unsigned long>(round % 13) * 500);
        delete waiter;
        QCoreApplication::processEvents();
    }
    preparer_.WaitForWorkers();
    QTest::qWait(100);
    EXPECT_EQ(late, 0);
}

}  // namespace

// At program end no decode may still run while the image plugins go away:
// the one under way is awaited and the queued ones are dropped (the preparer
// does this as it goes).
TEST(PreparerAtProgramEnd, WaitForWorkersFinishesTheDecodeUnderWayAndDropsTheRest)
{
    QTemporaryDir dir;
    std::vector<QByteArray> paths;
    for (int i = 0; i < 3; ++i) {
        const QString file = dir.filePath(QString("big%1.jpg").arg(i));
        ASSERT_TRUE(picturefiles::write(file, picturefiles::jpeg(4000, 3000)));
        paths.push_back(QFile::encodeName(file));
    }
    // The worker opening the first file tells that its decode is under way.
    const int opened = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(opened, 0);
    ASSERT_GE(inotify_add_watch(opened, paths[0].constData(), IN_OPEN), 0);

    const QSize screen(1920, 1080);  // room for all three
    PicturePreparer preparer;
    preparer.prepare(paths[0], screen);
    pollfd event{opened, POLLIN, 0};
    ASSERT_EQ(poll(&event, 1, 10000), 1) << "the worker never started";
    close(opened);
    preparer.prepare(paths[1], screen);
    preparer.prepare(paths[2], screen);
    preparer.WaitForWorkers();
    EXPECT_EQ(preparer.BusyWorkers(), 0);
    EXPECT_TRUE(preparer.isReady(paths[0], screen)) << "returned before the decode under way had ended";
    // One of the others may have started if this thread stalled past the first decode.
    EXPECT_LE(preparer.isReady(paths[1], screen) + preparer.isReady(paths[2], screen), 1)
        << "decoded what was still waiting";
}
