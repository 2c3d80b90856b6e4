#include <gtest/gtest.h>

#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include "program/forms.h"
#include "viewer/PictureBox.h"
#include "viewer/fImage.h"

namespace {

// Counts the wheel events that get past everything installed after it.
class WheelRecorder : public QObject {
public:
    int seen = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Wheel)
            ++seen;
        return false;
    }
};

void sendWheel(QWidget* to, int delta)
{
    const QPointF at(to->width() / 2.0, to->height() / 2.0);
    QWheelEvent wheel(at, to->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(to, &wheel);
}

class ViewerWindow : public ::testing::Test {
protected:
    fImage* open()
    {
        fImage& viewer = forms::fImage();
        viewer.setVisible(true);
        viewer.Command1_Click();
        return &viewer;
    }
    static bool closes(fImage* viewer, const std::function<void()>& action)
    {
        QPointer<fImage> alive(viewer);
        action();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return alive.isNull() && !forms::existingFImage();
    }
    void TearDown() override
    {
        if (fImage* viewer = forms::existingFImage())
            closes(viewer, [viewer] { viewer->close(); });
    }
};

TEST_F(ViewerWindow, EscapeStopsTheShowAndCloses)
{
    fImage* viewer = open();
    viewer->Timer1->start();
    EXPECT_TRUE(closes(viewer, [viewer] { QTest::keyClick(viewer, Qt::Key_Escape); }));
}

TEST_F(ViewerWindow, OtherKeysKeepItOpen)
{
    fImage* viewer = open();
    EXPECT_FALSE(closes(viewer, [viewer] {
        QTest::keyClick(viewer, Qt::Key_A);
        QTest::keyClick(viewer, Qt::Key_Return);
    }));
}

TEST_F(ViewerWindow, AClickOnTheErrorPictureDoesNothingAndOneBesideItCloses)
{
    fImage* viewer = open();  // nothing current: the error picture
    ASSERT_TRUE(viewer->Image2->isVisible());
    ASSERT_FALSE(viewer->Image1->isVisible());
    EXPECT_EQ(viewer->Image2->size(), QSize(135, 102));
    EXPECT_EQ(viewer->Image2->geometry().center(), viewer->rect().center());

    EXPECT_FALSE(closes(viewer, [viewer] { QTest::mouseClick(viewer->Image2, Qt::LeftButton); }));
    EXPECT_TRUE(closes(viewer, [viewer] { QTest::mouseClick(viewer, Qt::LeftButton, {}, QPoint(5, 5)); }));
}

TEST_F(ViewerWindow, ThePointerIsHiddenWhileOpen)
{
    fImage* viewer = open();
    EXPECT_EQ(viewer->cursor().shape(), Qt::BlankCursor);
    EXPECT_EQ(viewer->Image2->cursor().shape(), Qt::BlankCursor);
}

TEST_F(ViewerWindow, AWheelStepStopsTheShowAndEveryWheelEventGoesOn)
{
    for (int opening = 0; opening < 2; ++opening) {  // closing and reopening keeps the hook
        fImage* viewer = open();
        WheelRecorder recorder;
        viewer->installEventFilter(&recorder);  // runs after the hook
        viewer->Timer1->start();

        sendWheel(viewer, 0);
        EXPECT_TRUE(viewer->Timer1->isActive()) << "delta 0 changes nothing";
        sendWheel(viewer, 40);
        EXPECT_TRUE(viewer->Timer1->isActive()) << "a third of a notch is no step";
        // (Over the picture a real wheel event reaches the window too: the end-to-end test.)
        sendWheel(viewer, -120);
        EXPECT_FALSE(viewer->Timer1->isActive());
        EXPECT_EQ(recorder.seen, 3);

        viewer->removeEventFilter(&recorder);
        closes(viewer, [viewer] { viewer->close(); });
    }
}

}  // namespace
