// The viewer on a real X server with a window manager: where the picture lies
// on the screen, the hidden pointer, and real wheel and key input.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include "app/ImageListBox.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"
#include "tests/viewer/XPointer.h"
#include "viewer/PictureBox.h"
#include "viewer/PictureFit.h"
#include "viewer/fImage.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 60 && std::abs(a.green() - b.green()) < 60 &&
           std::abs(a.blue() - b.blue()) < 60;
}

bool xdotool(const QStringList& args)
{
    return QProcess::execute("xdotool", args) == 0;
}

template <class Condition>
bool waitFor(Condition condition, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < ms)
        QTest::qWait(20);
    return condition();
}

TEST(ViewerOnScreen, ShowsThePictureWholeAndCentredWithThePointerHidden)
{
    TempStore settings;
    QTemporaryDir dir;
    // Left half red, right half blue; much larger than the screen, and a second one smaller.
    const QSize big(2600, 1300), small(300, 200);
    const QByteArray bigPath = QFile::encodeName(dir.filePath("big.jpg"));
    const QByteArray smallPath = QFile::encodeName(dir.filePath("small.jpg"));
    ASSERT_TRUE(picturefiles::write(dir.filePath("big.jpg"), picturefiles::jpeg(big.width(), big.height())));
    ASSERT_TRUE(picturefiles::write(dir.filePath("small.jpg"), picturefiles::jpeg(small.width(), small.height())));

    frmSearch& search = forms::frmSearch();
    search.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&search));
    search.List1->AddItem(bigPath);
    search.List1->AddItem(smallPath);
    search.List1->setSelected(0);
    EXPECT_FALSE(pointerInvisible()) << "the check itself needs a visible pointer to start from";

    search.Command2_Click();
    QPointer<fImage> viewer(&forms::fImage());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
    QScreen* screen = viewer->screen();
    const QRect screenRect = screen->geometry();
    ASSERT_TRUE(waitFor([&] { return viewer->geometry() == screenRect; })) << "the viewer covers the screen";

    const QRect expected = fitPicture(big, screenRect.size()).rect.translated(screenRect.topLeft());
    auto shot = [&] { return screen->grabWindow(0).toImage(); };
    // The picture's edges lie where the fit puts them: red and blue inside, black outside.
    auto shows = [&](const QRect& r) {
        const QImage s = shot();
        const int y = r.center().y(), x = r.left() + r.width() / 4;
        return near(s.pixelColor(r.left() + 3, y), Qt::red) && near(s.pixelColor(r.right() - 3, y), Qt::blue) &&
               near(s.pixelColor(x, r.top() + 3), Qt::red) && near(s.pixelColor(x, r.bottom() - 3), Qt::red) &&
               (r.left() < 3 || near(s.pixelColor(r.left() - 3, y), Qt::black)) &&
               (r.top() < 3 || near(s.pixelColor(x, r.top() - 3), Qt::black)) &&
               (r.bottom() > screenRect.bottom() - 3 || near(s.pixelColor(x, r.bottom() + 3), Qt::black));
    };
    EXPECT_TRUE(waitFor([&] { return shows(expected); })) << "the big picture fills the width, centred";
    EXPECT_TRUE(near(shot().pixelColor(screenRect.topLeft() + QPoint(2, 2)), Qt::black));

    QCursor::setPos(expected.center());
    EXPECT_TRUE(waitFor([] { return pointerInvisible(); })) << "the pointer is hidden over the viewer";

    // A real wheel notch towards the user over the picture: the next entry.
    ASSERT_TRUE(xdotool({"click", "5"}));
    EXPECT_TRUE(waitFor([&] { return search.List1->ListIndex() == 1; }));
    const QRect smallAt = fitPicture(small, screenRect.size()).rect.translated(screenRect.topLeft());
    EXPECT_TRUE(waitFor([&] { return shows(smallAt); })) << "the small picture keeps its size, centred";

    // A real Escape key closes the viewer and gives the pointer back.
    ASSERT_TRUE(waitFor([&] { return QGuiApplication::focusWindow() == viewer->windowHandle(); }));
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    EXPECT_TRUE(waitFor([&] { return viewer.isNull(); }));
    QCursor::setPos(screenRect.topLeft() + QPoint(5, 5));
    EXPECT_TRUE(waitFor([] { return !pointerInvisible(); })) << "the pointer is back once the viewer closed";
}

}  // namespace

namespace {

// Puts a colour daemon's profile on the root window (none: takes it away).
void setScreenProfile(const QByteArray& icc)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11->display();
    const Atom atom = XInternAtom(display, "_ICC_PROFILE", False);
    if (icc.isEmpty())
        XDeleteProperty(display, DefaultRootWindow(display), atom);
    else
        XChangeProperty(display, DefaultRootWindow(display), atom, XA_CARDINAL, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(icc.constData()), static_cast<int>(icc.size()));
    XSync(display, False);
}

}  // namespace

// A saturated Display P3 red read back from the screen, against Little CMS's
// conversion of the same pixels: to sRGB on a screen without a profile, to
// the screen's own profile where one is set, and untouched without a profile.
TEST(ViewerOnScreen, ShowsAPictureInTheScreensColours)
{
    TempStore settings;
    QTemporaryDir dir;
    const QRgb red = qRgb(250, 20, 30);
    const QByteArray plain = picturefiles::solidJpeg(400, 300, red);
    const QByteArray p3 = picturefiles::displayP3();
    ASSERT_TRUE(picturefiles::write(dir.filePath("p3.jpg"), picturefiles::withIccProfile(plain, p3)));
    ASSERT_TRUE(picturefiles::write(dir.filePath("plain.jpg"), plain));
    // The pixels as decoded, before any conversion.
    QImage decoded;
    ASSERT_TRUE(decoded.loadFromData(plain, "JPEG"));
    decoded = decoded.convertToFormat(QImage::Format_RGB32).copy(200, 150, 1, 1);

    struct Case {
        const char* what;
        const char* file;
        QByteArray screenProfile;
        QRgb expected;
    } cases[] = {
        {"P3 on a screen without a profile", "p3.jpg", {},
         picturefiles::referenceConversion(decoded, p3, picturefiles::sRgb()).pixel(0, 0)},
        {"P3 on an Adobe RGB screen", "p3.jpg", picturefiles::adobeRgb(),
         picturefiles::referenceConversion(decoded, p3, picturefiles::adobeRgb()).pixel(0, 0)},
        {"no profile on an Adobe RGB screen", "plain.jpg", picturefiles::adobeRgb(), decoded.pixel(0, 0)},
    };
    frmSearch& search = forms::frmSearch();
    search.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&search));
    for (const Case& c : cases) {
        setScreenProfile(c.screenProfile);
        search.List1->Clear();
        search.List1->AddItem(QFile::encodeName(dir.filePath(c.file)));
        search.List1->setSelected(0);
        search.Command2_Click();
        QPointer<fImage> viewer(&forms::fImage());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer));
        QScreen* screen = viewer->screen();
        const QPoint centre = screen->geometry().center();
        auto shown = [&] { return screen->grabWindow(0).toImage().pixel(centre - screen->geometry().topLeft()); };
        auto within = [&](QRgb a, QRgb b) {
            return std::abs(qRed(a) - qRed(b)) <= 2 && std::abs(qGreen(a) - qGreen(b)) <= 2 &&
                   std::abs(qBlue(a) - qBlue(b)) <= 2;
        };
        EXPECT_TRUE(waitFor([&] { return within(shown(), c.expected); }))
            << c.what << ": shown " << std::hex << shown() << ", expected " << c.expected;
        viewer->close();
        EXPECT_TRUE(waitFor([&] { return viewer.isNull(); }));
    }
    setScreenProfile({});
}
