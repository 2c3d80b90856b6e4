#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/ImageListBox.h"
#include "program/Program.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"
#include "viewer/PicturePreparer.h"
#include "viewer/fImage.h"

namespace {

void store(const char* name, const std::string& text)
{
    cRegistry reg = AppSettings::Open();
    reg.setValueKey(name);
    reg.setValue(text);
}

ImageListBox& list() { return *forms::frmSearch().List1; }

// Fills the image list with n small real pictures written into folder.
bool fillWithPictures(const QTemporaryDir& folder, int n)
{
    list().Clear();
    for (int i = 0; i < n; ++i) {
        const QString path = folder.filePath(QString("p%1.jpg").arg(i));
        if (!picturefiles::write(path, picturefiles::jpeg(64, 48)))
            return false;
        list().AddItem(QFile::encodeName(path));
    }
    return true;
}
QLineEdit& resetFlag() { return *forms::frmSearch().txtResetCount; }

// Lets the viewer send the requests it queued for after its fit, then waits
// until the worker has decoded all it was asked for.
bool preparingSettles()
{
    QCoreApplication::processEvents();
    const PicturePreparer& preparer = Program::running()->Preparer();
    return QTest::qWaitFor([&] { return preparer.BusyWorkers() == 0; }, 10000);
}

// A list of n entries as a search leaves it: nothing current, the flag at "1".
// The files need not exist: the fit then shows the error picture.
void searchFinds(int n)
{
    list().Clear();
    for (int i = 0; i < n; ++i)
        list().AddItem("/nonexistent/picture" + QByteArray::number(i) + ".jpg");
    resetFlag().setText("1");
}

std::int32_t shownCount() { return forms::fImage().SlideShow().Order().ShownCount(); }
const std::vector<std::int32_t>& shownHistory()
{
    return forms::fImage().SlideShow().Order().ShownHistory();
}

// The distinct entries made current by `times` runs of a viewer operation.
std::set<int> currentAfter(int times, void (fImage::*operation)())
{
    std::set<int> shown;
    for (int i = 0; i < times; ++i) {
        (forms::fImage().*operation)();
        shown.insert(list().ListIndex());
    }
    return shown;
}

void closeViewer()
{
    if (fImage* viewer = forms::existingFImage())
        viewer->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(forms::existingFImage(), nullptr);
}

class ShowInViewer : public ::testing::Test {
protected:
    void TearDown() override { closeViewer(); }
    TempStore settings_;
};

}  // namespace

// The delay is read as the viewer opens; codes other than "1" to "7" (the
// whole table is tested on its own) leave the timers as they were created.
TEST_F(ShowInViewer, DelaySettingSetsBothTimersWhenTheViewerOpens)
{
    const std::tuple<const char*, int, int> table[] = {
        {nullptr, 1000, 500}, {"6", 10000, 10000}, {"1", 500, 500}, {" 1", 1000, 500}, {"", 1000, 500},
    };
    for (const auto& [code, timer1, timer2] : table) {
        if (code)
            store("varSlideShowDelayTime", code);
        fImage& viewer = forms::fImage();
        const std::string what = code ? std::string("\"") + code + "\"" : "absent";
        EXPECT_EQ(viewer.Timer1->interval(), timer1) << what;
        EXPECT_EQ(viewer.Timer2->interval(), timer2) << what;
        EXPECT_FALSE(viewer.Timer1->isActive() || viewer.Timer2->isActive());
        closeViewer();
    }
}

TEST_F(ShowInViewer, DelayChangedWhileOpenTakesEffectAtTheNextOpening)
{
    store("varSlideShowDelayTime", "6");
    fImage& viewer = forms::fImage();
    store("varSlideShowDelayTime", "1");
    EXPECT_EQ(viewer.Timer1->interval(), 10000);
    closeViewer();
    EXPECT_EQ(forms::fImage().Timer2->interval(), 500);
}

TEST_F(ShowInViewer, RandomCycleGoesOnAfterTheViewerWasClosed)
{
    searchFinds(10);
    std::set<int> shown = currentAfter(3, &fImage::RandomNumber_Click);
    closeViewer();
    for (int i = 0; i < 7; ++i) {
        forms::fImage().RandomNumber_Click();
        EXPECT_TRUE(shown.insert(list().ListIndex()).second) << "shown twice in one cycle";
    }
    EXPECT_EQ(shown.size(), 10u);
    EXPECT_EQ(shownCount(), 0);
}

TEST_F(ShowInViewer, StartSlideShowRunsTheConfiguredOrder)
{
    searchFinds(4);
    store("varSlideShowType", "1");
    forms::frmSearch().lblSlideShow_Click();
    EXPECT_EQ(list().ListIndex(), 0) << "the first entry when none was current";
    EXPECT_TRUE(forms::fImage().isVisible());
    EXPECT_TRUE(forms::fImage().Timer1->isActive());
    EXPECT_FALSE(forms::fImage().Timer2->isActive());
    closeViewer();

    store("varSlideShowType", "2");
    forms::frmSearch().lblSlideShow_Click();
    fImage& viewer = forms::fImage();
    EXPECT_TRUE(viewer.isVisible());
    EXPECT_TRUE(viewer.Timer2->isActive());
    EXPECT_FALSE(viewer.Timer1->isActive());
    EXPECT_EQ(resetFlag().text(), "0");
    EXPECT_EQ(shownCount(), 1);
    EXPECT_EQ(list().ListIndex(), shownHistory()[1]);

    // Started again in the other order while one runs: one show, never two.
    store("varSlideShowType", "1");
    forms::frmSearch().lblSlideShow_Click();
    EXPECT_TRUE(viewer.Timer1->isActive());
    EXPECT_FALSE(viewer.Timer2->isActive());
}

// While a random show runs, only the pictures it shows, and the one drawn for
// the next tick, are decoded: the list neighbours are of no use to it and would
// queue ahead of the picture the show needs.
TEST_F(ShowInViewer, RunningRandomShowPreparesOnlyItsOwnPictures)
{
    QTemporaryDir folder;
    const int n = 40;
    ASSERT_TRUE(fillWithPictures(folder, n));
    resetFlag().setText("1");
    store("varSlideShowType", "2");
    forms::frmSearch().lblSlideShow_Click();
    fImage& viewer = forms::fImage();
    viewer.Timer2->setInterval(3600 * 1000);  // running, but ticked by hand
    ASSERT_TRUE(viewer.Timer2->isActive());

    // Two ticks first, so that the pictures held are the show's own.
    std::set<int> shown{list().ListIndex()};
    for (int tick = 0; tick < 2; ++tick) {
        viewer.Timer2_Timer();
        shown.insert(list().ListIndex());
        ASSERT_TRUE(preparingSettles());
    }
    for (int tick = 0; tick < 6; ++tick) {
        std::set<int> ready;
        for (int i = 0; i < n; ++i)
            if (viewer.IsPrepared(list().List(i)))
                ready.insert(i);
        viewer.Timer2_Timer();  // shows the position drawn for it
        shown.insert(list().ListIndex());
        EXPECT_EQ(ready.count(list().ListIndex()), 1u) << "the picture of tick " << tick << " was not prepared";
        for (int i : ready)
            EXPECT_EQ(shown.count(i), 1u) << "entry " << i << " prepared but never shown, tick " << tick;
        ASSERT_TRUE(preparingSettles());
    }
}

// A step's paint has the processor to itself: the neighbours are asked for
// once the window has painted the new picture. Asking for the entry after it
// drops the entry held longest, so that one is still held at the paint.
TEST_F(ShowInViewer, AStepAsksForItsNeighboursOnlyOnceItsPictureIsPainted)
{
    QTemporaryDir folder;
    ASSERT_TRUE(fillWithPictures(folder, 5));
    list().setSelected(0);
    forms::frmSearch().Command2_Click();
    fImage& viewer = forms::fImage();
    ASSERT_TRUE(preparingSettles());
    ASSERT_TRUE(viewer.IsPrepared(list().List(4)));

    struct OnPaint : QObject {
        std::function<void()> paint;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::UpdateRequest)
                paint();
            return false;
        }
    } onPaint;
    int paints = 0;
    bool heldAtPaint = false;
    onPaint.paint = [&] {
        if (paints++ == 0)
            heldAtPaint = viewer.IsPrepared(list().List(4));
    };
    viewer.installEventFilter(&onPaint);
    QTest::keyClick(&viewer, Qt::Key_Down);
    ASSERT_TRUE(QTest::qWaitFor([&] { return paints > 0; }, 5000)) << "never painted";
    viewer.removeEventFilter(&onPaint);
    EXPECT_TRUE(heldAtPaint) << "the neighbours were asked for before the paint";
    ASSERT_TRUE(preparingSettles());
    EXPECT_TRUE(viewer.IsPrepared(list().List(2)));
    EXPECT_FALSE(viewer.IsPrepared(list().List(4)));
}
