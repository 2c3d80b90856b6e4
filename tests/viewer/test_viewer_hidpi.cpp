// The viewer on a screen of device-pixel ratio 2 (run with QT_SCALE_FACTOR=2):
// pictures are fitted in device pixels, never enlarged on the physical screen,
// and drawn one picture pixel to one device pixel.
#include <gtest/gtest.h>

#include <QScreen>
#include <QTemporaryDir>

#include "app/ImageListBox.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "tests/viewer/PictureFiles.h"
#include "viewer/PictureBox.h"
#include "viewer/fImage.h"

namespace {

TEST(ViewerOnHighDensityScreen, FitsInDevicePixelsAndDrawsCrisp)
{
    QTemporaryDir dir;
    struct Case {
        QSize picture;
        QSize devicePixels;  // as drawn
    } cases[] = {
        {{600, 450}, {600, 450}},    // fits the 800 x 800 device pixels: natural size, not doubled
        {{1600, 800}, {800, 400}},   // larger: fitted in device pixels
    };
    frmSearch& search = forms::frmSearch();
    for (const Case& c : cases) {
        const QString file = dir.filePath(QString::number(c.picture.width()) + ".jpg");
        ASSERT_TRUE(picturefiles::write(file, picturefiles::jpeg(c.picture.width(), c.picture.height())));
        search.List1->AddItem(QFile::encodeName(file));
    }
    search.List1->setSelected(0);
    search.Command2_Click();
    fImage& viewer = forms::fImage();
    ASSERT_EQ(viewer.screen()->devicePixelRatio(), 2.0);
    ASSERT_EQ(viewer.ScreenPixels(), QSize(800, 800));  // 400 x 400 logical

    for (int i = 0; i < 2; ++i) {
        search.List1->setSelected(i);
        viewer.Command1_Click();
        const QImage& shown = viewer.Image1->picture();
        EXPECT_EQ(shown.size(), cases[i].devicePixels) << i;
        EXPECT_EQ(shown.devicePixelRatio(), 2.0) << i;
        EXPECT_EQ(viewer.Image1->size(), cases[i].devicePixels / 2) << i;
    }
    viewer.close();
}

}  // namespace
