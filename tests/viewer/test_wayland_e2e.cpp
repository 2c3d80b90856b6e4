// The program as a native client of a real Wayland compositor (headless weston,
// one output at scale 2): the main window, a search started the way assistive
// technology starts it (a headless compositor has no input to inject), the
// dialog with its folder chooser, and the full-screen viewer seen in the
// compositor's own screenshots, in device pixels.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "app/CaptionLabel.h"
#include "app/ImageListBox.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "config/Configuration.h"
#include "config/FolderPicker.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"
#include "viewer/PictureFit.h"
#include "viewer/fImage.h"

namespace {

constexpr int kPatience = 15000;  // the machine may be busy with other work
const QSize kDevicePixels(2560, 1600);

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 60 && std::abs(a.green() - b.green()) < 60 &&
           std::abs(a.blue() - b.blue()) < 60;
}

void press(QWidget* control)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
    ASSERT_TRUE(accessible && accessible->actionInterface()) << control->objectName().toStdString();
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
}

// The whole output as the compositor has it, in device pixels; kept in the
// test's working folder under the given name.
QImage compositorShot(const QString& name)
{
    QTemporaryDir dir;
    QProcess shooter;
    shooter.setWorkingDirectory(dir.path());
    shooter.start("weston-screenshooter", {});
    if (!shooter.waitForFinished(kPatience) || shooter.exitCode() != 0)
        return {};
    const QStringList files = QDir(dir.path()).entryList({"*.png"});
    if (files.size() != 1)
        return {};
    QImage shot(dir.filePath(files.constFirst()));
    shot.save(name);
    return shot;
}

// The picture (left half red, right half blue) lies exactly on `r` of the
// shot: its edge pixels are the picture's, the pixels just outside are black.
bool showsPictureAt(const QImage& s, const QRect& r)
{
    if (s.size() != kDevicePixels)
        return false;
    const int y = r.center().y(), x = r.left() + r.width() / 4;
    auto outside = [&](int px, int py) { return !s.rect().contains(px, py) || near(s.pixelColor(px, py), Qt::black); };
    return near(s.pixelColor(r.left(), y), Qt::red) && near(s.pixelColor(r.right(), y), Qt::blue) &&
           near(s.pixelColor(x, r.top()), Qt::red) && near(s.pixelColor(x, r.bottom()), Qt::red) &&
           outside(r.left() - 1, y) && outside(r.right() + 1, y) && outside(x, r.top() - 1) &&
           outside(x, r.bottom() + 1);
}

TEST(OnWayland, MainWindowSearchDialogAndViewerWorkNatively)
{
    ASSERT_EQ(QGuiApplication::platformName(), "wayland") << "a native Wayland client, not through X";
    TempStore store;
    QTemporaryDir pictures;
    const QSize big(2600, 1300), small(300, 200);
    ASSERT_TRUE(picturefiles::write(pictures.filePath("a-big.jpg"), picturefiles::jpeg(big.width(), big.height())));
    ASSERT_TRUE(picturefiles::write(pictures.filePath("b-small.jpg"), picturefiles::jpeg(small.width(), small.height())));
    {
        cRegistry reg = AppSettings::Open();
        reg.setValueKey("txtImageCaption1");
        reg.setValue(Variant(std::string("Garden")));
        reg.setValueKey("varImagePath1");
        reg.setValue(Variant(pictures.path().toStdString()));
    }

    frmSearch& search = forms::frmSearch();
    search.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&search, kPatience));
    ASSERT_EQ(search.screen()->devicePixelRatio(), 2.0);

    press(search.lblImageCaption1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return search.List1->ListCount() == 2; }, kPatience));
    QTest::qWait(300);  // let the compositor show the filled list
    EXPECT_EQ(compositorShot("wayland-main-window.png").size(), kDevicePixels);

    // The dialog, and its folder chooser modal to it.
    press(search.lblChangeConfig);
    ASSERT_TRUE(QTest::qWaitFor([] { return forms::existingConfiguration(); }, kPatience));
    Configuration& dialog = *forms::existingConfiguration();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog, kPatience));
    QString chooserTitle;
    bool chooserExposed = false;
    QWidget* chooserParent = nullptr;
    std::function<void()> lookForChooser = [&] {
        QFileDialog* chooser = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* shown = qobject_cast<QFileDialog*>(window); shown && shown->isVisible())
                chooser = shown;
        if (!chooser || !chooser->windowHandle() || !chooser->windowHandle()->isExposed()) {
            QTimer::singleShot(50, lookForChooser);
            return;
        }
        chooserExposed = true;
        chooserTitle = chooser->windowTitle();
        chooserParent = chooser->parentWidget();
        chooser->reject();
    };
    QTimer::singleShot(50, lookForChooser);
    QTimer::singleShot(kPatience, [] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* shown = qobject_cast<QFileDialog*>(window); shown && shown->isVisible())
                shown->close();  // never hang on a chooser that did not show
    });
    emit dialog.imgPathSelect[0]->clicked();
    EXPECT_TRUE(chooserExposed);
    EXPECT_EQ(chooserTitle, "Select Folder");
    EXPECT_EQ(chooserParent, &dialog);
    EXPECT_EQ(dialog.txtImagePath[0]->text(), pictures.path()) << "a cancelled choice keeps the folder";
    dialog.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // The viewer: full screen on the main window's output, the big picture
    // fitted to the output's device pixels, the small one one-to-one.
    search.List1->setSelected(0);
    search.Command2_Click();
    QPointer<fImage> viewer(&forms::fImage());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer, kPatience));
    EXPECT_EQ(viewer->screen(), search.screen());
    EXPECT_TRUE(viewer->windowHandle()->windowStates() & Qt::WindowFullScreen);
    const QRect bigAt = fitPicture(big, kDevicePixels).rect;
    QImage shot;
    EXPECT_TRUE(QTest::qWaitFor([&] { return showsPictureAt(shot = compositorShot("wayland-viewer.png"), bigAt); },
                                kPatience))
        << "the big picture across the whole width, centred";
    EXPECT_TRUE(near(shot.pixelColor(2, 2), Qt::black)) << "nothing of the desktop shows";

    search.List1->setSelected(1);
    viewer->Command1_Click();
    const QRect smallAt = fitPicture(small, kDevicePixels).rect;
    ASSERT_EQ(smallAt.size(), small);
    EXPECT_TRUE(QTest::qWaitFor([&] { return showsPictureAt(compositorShot("wayland-viewer-small.png"), smallAt); },
                                kPatience))
        << "the small picture at its size in device pixels, not doubled and not blurred";
    viewer->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.isNull(); }, kPatience));
    search.hide();
}

}  // namespace
