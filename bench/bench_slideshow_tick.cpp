// Times slide-show ticks on photo-like JPEGs: a tick whose picture was
// prepared while the previous one was on screen, against ticks run back to
// back, whose picture is still being decoded when they fire.
//
//   MARBLEGLEN_SCREEN=1920x1080x24 scripts/with-xserver build/bin/bench_slideshow_tick [ticks]
#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/Spread.h"
#include "app/ImageListBox.h"
#include "program/Program.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "settings/AppSettings.h"
#include "viewer/fImage.h"

namespace {

// Smooth colour waves with grain, so that the encoder works as on a photo.
QImage photoLike(int width, int height, int variant)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::mt19937 grain(static_cast<unsigned>(variant));
    std::uniform_int_distribution<int> noise(-12, 12);
    const double f = 0.002 + 0.0005 * variant;
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double v = std::sin(x * f) + std::cos(y * f * 1.3) + std::sin((x + y) * f * 0.7);
            const int base = static_cast<int>(128 + 40 * v);
            line[x] = qRgb(std::clamp(base + noise(grain), 0, 255),
                           std::clamp(255 - base + noise(grain), 0, 255),
                           std::clamp(base / 2 + 60 + noise(grain), 0, 255));
        }
    }
    return image;
}

void store(const char* name, const std::string& text)
{
    cRegistry reg = AppSettings::Open();
    reg.setValueKey(name);
    reg.setValue(text);
}

struct TickTimes {
    std::vector<double> prepared, backToBack;
    int foundReady = 0;  // prepared ticks whose picture was decoded when they fired
};

double tickMs(fImage& viewer, void (fImage::*tick)(), bool* foundReady = nullptr)
{
    const ImageListBox& list = *forms::frmSearch().List1;
    std::vector<bool> ready(static_cast<std::size_t>(list.ListCount()));
    for (int i = 0; i < list.ListCount(); ++i)
        ready[static_cast<std::size_t>(i)] = viewer.IsPrepared(list.List(i));
    QElapsedTimer clock;
    clock.start();
    (viewer.*tick)();
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    if (foundReady)
        *foundReady = ready[static_cast<std::size_t>(list.ListIndex())];
    return ms;
}

TickTimes timeTicks(const char* type, void (fImage::*tick)(), int ticks)
{
    frmSearch& search = forms::frmSearch();
    search.txtResetCount->setText("1");
    search.List1->setSelected(0);
    store("varSlideShowType", type);
    search.lblSlideShow_Click();
    fImage& viewer = forms::fImage();
    viewer.Timer1->stop();  // the ticks are run by hand, at the shortest delay
    viewer.Timer2->stop();

    TickTimes t;
    for (int i = 0; i < ticks; ++i) {
        QTest::qWait(500);
        bool ready = false;
        t.prepared.push_back(tickMs(viewer, tick, &ready));
        t.foundReady += ready;
    }
    QTest::qWait(500);
    for (int i = 0; i < ticks; ++i) {
        QCoreApplication::processEvents();
        t.backToBack.push_back(tickMs(viewer, tick));
    }
    viewer.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return t;
}

void report(const char* order, const TickTimes& t)
{
    const double prepared = median(t.prepared);
    const double back = median(t.backToBack);
    std::printf("  %-12s prepared (%d of %zu found ready): median %6.2f ms, slowest %6.2f ms"
                " | back to back: median %7.2f ms | ratio %.0f x | goal <= 16 ms: %s\n",
                order, t.foundReady, t.prepared.size(), prepared,
                *std::max_element(t.prepared.begin(), t.prepared.end()), back, back / prepared,
                prepared <= 16 ? "met" : "NOT met");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    // Never the settings of the person running the benchmark.
    QTemporaryDir settings;
    setenv("XDG_CONFIG_HOME", QFile::encodeName(settings.path()).constData(), 1);
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    Program program;
    const int ticks = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;

    QTemporaryDir folder;
    const int pictures = 8;
    std::printf("Writing %d photo-like 12 MP JPEGs (quality 90)...\n", pictures);
    frmSearch& search = forms::frmSearch();
    search.List1->Clear();
    for (int i = 0; i < pictures; ++i) {
        const QString path = folder.filePath(QString("IMG_%1.jpg").arg(i));
        if (!photoLike(4000, 3000, i).save(path, "JPEG", 90)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        search.List1->AddItem(QFile::encodeName(path));
    }

    const TickTimes progressive = timeTicks("1", &fImage::Timer1_Timer, ticks);
    const TickTimes random = timeTicks("2", &fImage::Timer2_Timer, ticks);
    const QSize screen = forms::fImage().ScreenPixels();
    forms::fImage().close();
    std::printf("Slide-show ticks on a %dx%d screen, %d ticks each, 500 ms apart when prepared\n",
                screen.width(), screen.height(), ticks);
    report("progressive", progressive);
    report("random", random);
    return 0;
}
