// The viewer driven through the main window's image list, with real picture
// files and a real settings store.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include "app/ImageListBox.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"
#include "viewer/PictureBox.h"
#include "viewer/fImage.h"

namespace {

// Each picture's size, so that the shown geometry tells which one is shown.
const QSize kSizes[] = {{400, 300}, {1600, 1000}, {500, 1000}, {1200, 600}};

class ViewerOnList : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousBox_ = setMsgBoxHook([](const QString&) {});
        frmSearch& main = forms::frmSearch();
        main.List1->Clear();
        for (const QSize& size : kSizes) {
            const QByteArray path =
                QFile::encodeName(dir_.path()) + "/" + QByteArray::number(size.width()) + "x.jpg";
            ASSERT_TRUE(picturefiles::write(QFile::decodeName(path), picturefiles::jpeg(size.width(), size.height())));
            paths_.push_back(path);
        }
        for (const QByteArray& path : paths_)
            main.List1->AddItem(path);
    }

    void TearDown() override
    {
        if (fImage* viewer = forms::existingFImage()) {
            viewer->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        setMsgBoxHook(previousBox_);
    }

    // Waits until the viewer has fitted the current entry: a step onto a
    // picture not decoded yet shows it once it is.
    static bool fitted(const fImage& viewer)
    {
        return QTest::qWaitFor([&] { return viewer.CurrentImagePath() == forms::frmSearch().List1->Text(); }, 5000);
    }

    // Opens the viewer on entry i the way the main window's View does.
    fImage& viewEntry(int i)
    {
        forms::frmSearch().List1->setSelected(i);
        forms::frmSearch().Command2_Click();
        return forms::fImage();
    }

    static void storeType(const std::string& type) { AppSettings::WriteText("varSlideShowType", type); }
    static int current() { return forms::frmSearch().List1->ListIndex(); }

    TempStore store_;
    QTemporaryDir dir_;
    std::vector<QByteArray> paths_;
    MsgBoxHook previousBox_;
};

TEST_F(ViewerOnList, EachEntryIsShownWholeAndCentred)
{
    // The offscreen screen is 800 x 800.
    struct Case {
        int entry;
        QRect shown;
    } cases[] = {
        {0, {200, 250, 400, 300}},  // smaller: natural size
        {1, {0, 150, 800, 500}},    // wider: fitted to the width
        {2, {200, 0, 400, 800}},    // higher: fitted to the height
        {3, {0, 200, 800, 400}},
    };
    fImage& viewer = viewEntry(0);
    ASSERT_EQ(viewer.ScreenPixels(), QSize(800, 800));
    for (const Case& c : cases) {
        forms::frmSearch().List1->setSelected(c.entry);
        viewer.Command1_Click();
        EXPECT_TRUE(viewer.Image1->isVisible()) << c.entry;
        EXPECT_FALSE(viewer.Image2->isVisible()) << c.entry;
        EXPECT_EQ(viewer.Image1->geometry(), c.shown) << c.entry;
        EXPECT_EQ(viewer.Image1->picture().size(), c.shown.size()) << c.entry;
    }
}

TEST_F(ViewerOnList, AFileThatCannotBeShownGivesTheErrorPictureAndKeepsItsPath)
{
    const QByteArray missing = QFile::encodeName(dir_.path()) + "/gone.jpg";
    forms::frmSearch().List1->AddItem(missing);
    fImage& viewer = viewEntry(4);
    EXPECT_FALSE(viewer.Image1->isVisible());
    EXPECT_TRUE(viewer.Image2->isVisible());
    EXPECT_EQ(forms::frmSearch().List1->Text(), missing);

    QTest::keyClick(&viewer, Qt::Key_Down);  // the next one shows again
    EXPECT_EQ(current(), 0);
    ASSERT_TRUE(fitted(viewer));
    EXPECT_TRUE(viewer.Image1->isVisible());
    EXPECT_FALSE(viewer.Image2->isVisible());
}

TEST_F(ViewerOnList, ArrowKeysStepWithWrapAndStopTheShow)
{
    fImage& viewer = viewEntry(0);
    viewer.Timer2->start();
    QTest::keyClick(&viewer, Qt::Key_Up);
    EXPECT_EQ(current(), 3);
    EXPECT_FALSE(viewer.Timer2->isActive());
    ASSERT_TRUE(fitted(viewer));
    EXPECT_EQ(viewer.Image1->picture().size(), QSize(800, 400));

    viewer.Timer1->start();
    QTest::keyClick(&viewer, Qt::Key_Down);
    EXPECT_EQ(current(), 0);
    EXPECT_FALSE(viewer.Timer1->isActive());
    ASSERT_TRUE(fitted(viewer));
    EXPECT_EQ(viewer.Image1->picture().size(), QSize(400, 300));
}

// A held key steps faster than photos decode: the window goes on at once and
// shows the picture when it is decoded.
TEST_F(ViewerOnList, SteppingOntoAPictureNotDecodedYetNeverWaitsForIt)
{
    fImage& viewer = viewEntry(0);  // prepares entries 3 and 1, not 2
    forms::frmSearch().List1->setSelected(1);
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(&viewer, &down);
    EXPECT_EQ(current(), 2);
    EXPECT_EQ(viewer.CurrentImagePath(), paths_[0]) << "the window waited for the decode";
    EXPECT_EQ(viewer.Image1->picture().size(), QSize(400, 300)) << "the last picture stays meanwhile";
    ASSERT_TRUE(fitted(viewer));
    EXPECT_EQ(viewer.Image1->picture().size(), QSize(400, 800));
}

TEST_F(ViewerOnList, WheelAwayFromTheUserOnTheFirstEntryShowsTheLast)
{
    fImage& viewer = viewEntry(0);
    viewer.Timer1->start();
    const QPointF at(10, 10);
    QWheelEvent away(at, at, QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&viewer, &away);
    EXPECT_EQ(current(), 3);
    EXPECT_FALSE(viewer.Timer1->isActive());
    QWheelEvent twoNotches(at, at, QPoint(), QPoint(0, -240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                           false);
    QApplication::sendEvent(&viewer, &twoNotches);
    EXPECT_EQ(current(), 0) << "one step per event, whatever its size";
}

TEST_F(ViewerOnList, SpaceStartsAndPausesInTheOrderStoredAtThatMoment)
{
    struct Case {
        std::string type;
        bool timer1, timer2;
        int entryAfter;
    } cases[] = {
        {"1", true, false, 2},   // steps to the next entry first
        {"2", false, true, -1},  // the random pick chooses (any entry)
        {"3", false, false, 1},
        {"abc", false, false, 1},
        {"", false, false, 1},
    };
    for (const Case& c : cases) {
        storeType(c.type);
        fImage& viewer = viewEntry(1);
        QTest::keyClick(&viewer, Qt::Key_Space);
        EXPECT_EQ(viewer.Timer1->isActive(), c.timer1) << c.type;
        EXPECT_EQ(viewer.Timer2->isActive(), c.timer2) << c.type;
        if (c.entryAfter >= 0) {
            EXPECT_EQ(current(), c.entryAfter) << c.type;
        }
        QTest::keyClick(&viewer, Qt::Key_Space);  // pauses a running show, or starts one anew
        if (c.timer1 || c.timer2) {
            EXPECT_FALSE(viewer.Timer1->isActive() || viewer.Timer2->isActive()) << c.type;
        }
        viewer.Timer1->stop();
        viewer.Timer2->stop();
    }
}

TEST_F(ViewerOnList, AClickOnThePictureCloses)
{
    fImage& viewer = viewEntry(0);
    QPointer<fImage> alive(&viewer);
    QTest::mouseClick(viewer.Image1, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
}

TEST_F(ViewerOnList, TheEntriesBeforeAndAfterArePreparedAndSteppingHandsThemOver)
{
    fImage& viewer = viewEntry(1);
    QElapsedTimer timer;
    timer.start();
    while (!(viewer.IsPrepared(paths_[0]) && viewer.IsPrepared(paths_[2])) && timer.elapsed() < 5000)
        QTest::qWait(10);
    EXPECT_TRUE(viewer.IsPrepared(paths_[0]));
    EXPECT_TRUE(viewer.IsPrepared(paths_[2]));

    QTest::keyClick(&viewer, Qt::Key_Down);
    EXPECT_EQ(viewer.Image1->picture().size(), QSize(400, 800));

    viewer.PrepareEntry(3);
    viewer.PrepareEntry(99);  // outside the list: ignored
    timer.restart();
    while (!viewer.IsPrepared(paths_[3]) && timer.elapsed() < 5000)
        QTest::qWait(10);
    EXPECT_TRUE(viewer.IsPrepared(paths_[3]));
}

}  // namespace
