// The screen asleep outside the awake hours where the display has no power
// control (Qt's offscreen platform): the viewer is covered black and its show
// held, and what a key, a click or the wheel would do is not done: it only
// wakes the screen, for five minutes. Escape still ends the show.
#include <gtest/gtest.h>

#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <cstdlib>
#include <ctime>

#include "app/KeyCodes.h"
#include "program/Program.h"
#include "program/ScreenSleep.h"
#include "tests/support/SessionBus.h"
#include "tests/viewer/PictureFiles.h"

namespace {

void setOffset(const QString& file, std::time_t to)
{
    QFile out(file + ".new");
    out.open(QIODevice::WriteOnly);
    out.write(QByteArray::number(qlonglong(to - std::time(nullptr))));
    out.close();
    ::rename(QFile::encodeName(file + ".new"), QFile::encodeName(file));
}

}  // namespace

TEST(ScreenSleep, AKeyClickOrWheelAsleepOnlyWakesTheScreen)
{
    QTemporaryDir dir;
    std::vector<QByteArray> paths;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
        ASSERT_TRUE(picturefiles::write(dir.path() + "/" + name, picturefiles::jpeg(64, 48)));
        paths.push_back(QFile::encodeName(dir.path() + "/" + name));
    }
    const QString clock = dir.path() + "/clock";
    setenv("TZ", "UTC", 1);
    setenv("MARBLEGLEN_TEST_CLOCK", QFile::encodeName(clock).constData(), 1);
    std::string problem;
    const auto hours = AwakeHours::Parse("07:00-22:00", problem);
    ASSERT_TRUE(hours);

    const SessionBus bus;  // for the remote
    ASSERT_FALSE(bus.address().isEmpty());
    enum class Input { Down, Space, Click, Wheel, RemoteNext, Escape };
    testing::internal::CaptureStderr();
    for (const Input input :
         {Input::Down, Input::Space, Input::Click, Input::Wheel, Input::RemoteNext, Input::Escape}) {
        const int row = static_cast<int>(input);
        setOffset(clock, 30);  // 1970-01-01 00:00:30, at night
        Program& program = *Program::running();
        program.Images().clear();
        program.Images().append(std::vector<QByteArray>(paths));
        program.Images().select(1);
        program.Remote().SetEnabled(input == Input::RemoteNext);
        QPointer<fImage> viewer = &program.fImage();
        viewer->Perform({ShowAction::View});
        viewer->StartSlideShow(1);
        ASSERT_TRUE(viewer->Timer1->isActive());
        const int current = program.Images().current();

        std::optional<ScreenSleep> sleep(std::in_place, program, *hours);
        sleep->Follow(*viewer);
        ASSERT_TRUE(viewer->Asleep()) << row;
        EXPECT_FALSE(viewer->Timer1->isActive()) << row;
        const QPoint centre = viewer->rect().center();
        QWidget* under = viewer->childAt(centre);
        EXPECT_EQ(under, viewer->Cover) << row << ": the picture is not covered";

        switch (input) {
        case Input::Down: QTest::keyClick(viewer, Qt::Key_Down); break;
        case Input::Space: QTest::keyClick(viewer, Qt::Key_Space); break;
        case Input::Escape: QTest::keyClick(viewer, Qt::Key_Escape); break;
        case Input::RemoteNext:  // a phone's Next, as the bus hands it on
            ASSERT_FALSE(program.Remote().BusName().isEmpty());
            program.Remote().Key(KeyCodes::MediaNext);
            QCoreApplication::processEvents();
            break;
        case Input::Click: QTest::mouseClick(under, Qt::LeftButton, {}, under->mapFrom(viewer, centre)); break;
        case Input::Wheel: {
            QWheelEvent wheel(centre, viewer->mapToGlobal(centre), {}, {0, -120}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(under, &wheel);
            break;
        }
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (input == Input::Escape) {
            EXPECT_TRUE(viewer.isNull()) << "Escape asleep did not end the show";
            continue;
        }
        ASSERT_FALSE(viewer.isNull()) << row << ": closed the viewer";
        EXPECT_FALSE(viewer->Asleep()) << row;
        EXPECT_FALSE(viewer->Cover->isVisible()) << row;
        EXPECT_EQ(program.Images().current(), current) << row << ": stepped while asleep";
        EXPECT_TRUE(viewer->Timer1->isActive()) << row << ": the show did not go on";

        // Five minutes on, still at night: asleep again.
        setOffset(clock, 30 + 301);
        EXPECT_TRUE(QTest::qWaitFor([&] { return viewer->Asleep(); }, 5000)) << row;
        EXPECT_FALSE(viewer->Timer1->isActive()) << row;
        viewer->close();
    }
    const std::string said = testing::internal::GetCapturedStderr();
    // Once a show, however often it sleeps.
    std::size_t times = 0;
    for (std::size_t at = said.find("no power control"); at != std::string::npos; at = said.find("no power control", at + 1))
        ++times;
    EXPECT_EQ(times, 6u) << said;
    unsetenv("MARBLEGLEN_TEST_CLOCK");
    unsetenv("TZ");
}
