#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

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

TEST_F(Preparer, HoldsAtMostThreeKeepingTheMostRecentlyAskedFor)
{
    for (const QByteArray& p : paths_)
        preparer_.prepare(p, kScreen);
    EXPECT_EQ(preparer_.heldCount(), PicturePreparer::kHeld);
    EXPECT_TRUE(waitReady(paths_[4]));
    EXPECT_TRUE(waitReady(paths_[2]));
    EXPECT_FALSE(preparer_.isReady(paths_[0], kScreen));
    EXPECT_FALSE(preparer_.isReady(paths_[4], QSize(800, 600))) << "another screen needs another decode";

    const Picture p = preparer_.take(paths_[3], kScreen);  // fitted to the screen's width
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.image.size(), QSize(400, 80));
    EXPECT_EQ(preparer_.heldCount(), PicturePreparer::kHeld);
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

}  // namespace

// At program end no decode may still run while statics and plugins go away:
// the queued ones are dropped and the one under way is awaited.
TEST(PreparerAtProgramEnd, WaitForWorkersLeavesNoDecodeRunning)
{
    QTemporaryDir dir;
    std::vector<QByteArray> paths;
    for (int i = 0; i < 4; ++i) {
        const QString file = dir.filePath(QString("big%1.jpg").arg(i));
        ASSERT_TRUE(picturefiles::write(file, picturefiles::jpeg(3000, 2000)));
        paths.push_back(QFile::encodeName(file));
    }
    {
        PicturePreparer preparer;
        for (const QByteArray& p : paths)
            preparer.prepare(p, QSize(3000, 2000));
        QThread::msleep(20);  // let the worker start on one
    }
    PicturePreparer::WaitForWorkers();
    EXPECT_EQ(PicturePreparer::BusyWorkers(), 0);
}
