// Runs the real windows through a long random slide show at the shortest delay
// and watches it: every finished step of the show, the gap between steps, and
// the resident memory every 10 seconds. Run it under an X server (the soak
// script does); the settings go to the store XDG_CONFIG_HOME names.
//
//   soak-driver PICTURE_FOLDER MINUTES [PICTURES]
//
// Makes PICTURES (default 500) pictures in the folder when it holds none.
// Prints one line a memory sample and a summary; exits 1 when a step took
// longer than a second or the memory grew.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/ImageListBox.h"
#include "program/Program.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "settings/AppSettings.h"
#include "viewer/PictureBox.h"
#include "viewer/fImage.h"

namespace {

constexpr qint64 kStallMs = 1000;
constexpr int kSampleMs = 10000;

// Pictures of the sizes cameras and phones make, each with its own number
// drawn on it, some progressive.
void makePictures(const QString& folder, int count)
{
    QDir dir(folder);
    if (!dir.entryList({"*.jpg"}, QDir::Files).isEmpty())
        return;
    const QSize sizes[] = {{800, 600}, {1920, 1080}, {3000, 2000}, {4000, 3000}, {1080, 1920}, {640, 480}};
    for (int i = 0; i < count; ++i) {
        QImage image(sizes[i % std::size(sizes)], QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 37 % 360, 180, 200));
        QPainter p(&image);
        p.setPen(Qt::black);
        QFont f = p.font();
        f.setPixelSize(image.height() / 4);
        p.setFont(f);
        p.drawText(image.rect(), Qt::AlignCenter, QString::number(i));
        p.end();
        const QString name = dir.filePath(QStringLiteral("soak_%1.jpg").arg(i, 4, 10, QChar('0')));
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "JPEG", 85)) {
            std::fprintf(stderr, "soak: cannot write %s\n", qPrintable(name));
            std::exit(2);
        }
    }
}

long residentKb()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

long median(std::vector<long> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void store(const char* name, const std::string& text)
{
    cRegistry reg = AppSettings::Open();
    reg.setValueKey(name);
    reg.setValue(text);
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    Program program;
    if (argc < 3) {
        std::fprintf(stderr, "usage: soak-driver PICTURE_FOLDER MINUTES [PICTURES]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const qint64 runMs = static_cast<qint64>(std::atof(argv[2]) * 60000);
    QDir().mkpath(folder);
    makePictures(folder, argc > 3 ? std::atoi(argv[3]) : 500);

    store("varImagePath1", folder.toStdString());
    store("txtImageCaption1", "Soak");
    store("varSlideShowType", "2");
    store("varSlideShowDelayTime", "1");

    frmSearch& search = forms::frmSearch();
    search.show();
    search.lblImageCaption1_Click();
    const int entries = search.List1->ListCount();
    std::printf("soak: %d pictures in the list, random show at the shortest delay for %.1f minutes\n", entries,
                runMs / 60000.0);
    std::fflush(stdout);

    QElapsedTimer clock;
    clock.start();
    search.lblSlideShow_Click();
    fImage& viewer = forms::fImage();

    // Connected after the viewer's own handler, so this runs once a step has
    // finished: the picture (or the error picture) is handed over.
    long steps = 0, changed = 0, errors = 0, stalls = 0;
    qint64 lastStep = clock.elapsed(), longest = 0;
    qint64 lastKey = viewer.Image1->picture().cacheKey();
    QObject::connect(viewer.Timer2, &QTimer::timeout, &app, [&] {
        const qint64 now = clock.elapsed();
        const qint64 gap = now - lastStep;
        lastStep = now;
        longest = std::max(longest, gap);
        if (gap > kStallMs) {
            ++stalls;
            std::printf("soak: stall of %lld ms before step %ld at %.1f s\n", gap, steps + 1, now / 1000.0);
            std::fflush(stdout);
        }
        ++steps;
        if (viewer.Image2->isVisible())
            ++errors;
        const qint64 key = viewer.Image1->picture().cacheKey();
        changed += key != lastKey;
        lastKey = key;
    });

    std::vector<std::pair<qint64, long>> samples;
    auto sample = [&] {
        samples.emplace_back(clock.elapsed(), residentKb());
        std::printf("rss %6.0f s %8ld kB  steps %ld\n", samples.back().first / 1000.0, samples.back().second, steps);
        std::fflush(stdout);
    };
    sample();
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &app, sample);
    sampler.start(kSampleMs);
    QTimer::singleShot(runMs, &app, [&] {
        sample();
        app.quit();
    });
    const bool running = viewer.Timer2->isActive();
    app.exec();

    // The last quarter against the second: the first holds the warming up.
    std::vector<long> q2, q4;
    const qint64 total = samples.back().first;
    for (const auto& [t, kb] : samples) {
        if (t >= total / 4 && t < total / 2)
            q2.push_back(kb);
        if (t >= total * 3 / 4)
            q4.push_back(kb);
    }
    const long m2 = median(q2), m4 = median(q4);
    const double growth = m2 ? 100.0 * (m4 - m2) / m2 : 0.0;
    const bool flat = m2 && m4 <= m2 * 1.10;
    std::printf("soak: %ld steps in %.1f s (%ld showed a new picture, %ld the error picture); longest gap %lld ms; "
                "stalls over %lld ms: %ld\n",
                steps, total / 1000.0, changed, errors, longest, kStallMs, stalls);
    std::printf("soak: resident memory median %ld kB in the second quarter, %ld kB in the last (%+.1f%%): %s\n", m2,
                m4, growth, flat ? "flat" : "GREW");
    const bool ok = running && steps > 0 && stalls == 0 && errors == 0 && flat;
    std::printf("soak: %s\n", ok ? "passed" : "FAILED");
    std::fflush(stdout);
    delete forms::existingFImage();
    delete forms::existingFrmSearch();
    return ok ? 0 : 1;
}
