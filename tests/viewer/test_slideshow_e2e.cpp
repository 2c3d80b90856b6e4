// A progressive show at the shortest delay, started from the main window's
// label and watched on the real screen.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

#include "program/forms.h"
#include "app/frmSearch.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"
#include "viewer/fImage.h"

namespace {

void store(const char* name, const std::string& text)
{
    cRegistry reg = AppSettings::Open();
    reg.setValueKey(name);
    reg.setValue(text);
}

const QColor kColours[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow, Qt::magenta};
constexpr int kPictures = std::size(kColours);

// Which picture's colour the pixel shows, -1 for none (black, or a picture
// on its way).
int pictureShown(QColor pixel)
{
    return picturefiles::colourShown(pixel, kColours);
}

void click(const char* labelName)
{
    auto* label = forms::frmSearch().findChild<QLabel*>(labelName);
    ASSERT_NE(label, nullptr) << labelName;
    QTest::mouseClick(label, Qt::LeftButton);
}

}  // namespace

TEST(SlideShowOnScreen, ProgressiveShowStepsThroughTheListInOrder)
{
    TempStore settings;
    QTemporaryDir folder;
    // Names that sort naturally, not byte-wise: IMG_2 comes before IMG_10.
    const char* names[kPictures] = {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg", "IMG_10.jpg", "IMG_11.jpg"};
    for (int i = 0; i < kPictures; ++i) {
        QImage picture(320, 240, QImage::Format_RGB32);
        picture.fill(kColours[i]);
        ASSERT_TRUE(picture.save(folder.filePath(names[i]), "JPEG", 90));
    }
    store("varImagePath1", folder.path().toStdString());
    store("txtImageCaption1", "Colours");
    store("varSlideShowType", "1");
    store("varSlideShowDelayTime", "1");

    frmSearch& search = forms::frmSearch();
    search.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&search));
    click("lblImageCaption1");
    QElapsedTimer clock;
    clock.start();
    click("lblSlideShow");
    fImage& viewer = forms::fImage();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    EXPECT_TRUE(viewer.Timer1->isActive());

    // Watch the middle of the screen for about eight ticks. A machine under load
    // may stall the watching for longer than a tick; a picture missed that way
    // is not held against the show.
    QScreen* screen = viewer.screen();
    const QPoint middle = screen->geometry().center();
    struct Sight {
        int picture;
        bool afterStall;
    };
    std::vector<Sight> seen;
    qint64 lastLook = 0;
    bool stalled = false;
    while (clock.elapsed() < 4500) {
        const QImage shot = screen->grabWindow(0, middle.x(), middle.y(), 1, 1).toImage();
        const qint64 now = clock.elapsed();
        stalled = stalled || now - lastLook > 400;
        lastLook = now;
        const int shown = pictureShown(shot.pixelColor(0, 0));
        if (shown >= 0 && (seen.empty() || seen.back().picture != shown)) {
            seen.push_back({shown, stalled});
            stalled = false;
        }
        QTest::qWait(40);
    }
    QTest::keyClick(&viewer, Qt::Key_Escape);

    std::string order;
    for (const Sight& s : seen)
        order += std::to_string(s.picture) + (s.afterStall ? "* " : " ");
    ASSERT_GE(seen.size(), 6u) << "pictures seen (* after a stall): " << order;
    if (!seen.front().afterStall) {
        EXPECT_EQ(seen.front().picture, 0) << "the show begins with the first entry; seen: " << order;
    }
    for (std::size_t i = 1; i < seen.size(); ++i) {
        if (!seen[i].afterStall) {
            EXPECT_EQ(seen[i].picture, (seen[i - 1].picture + 1) % kPictures) << "seen: " << order;
        }
    }
}
