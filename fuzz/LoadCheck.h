#pragma once

// What every picture fuzz target checks: the loader, fed from memory, either
// fails without a picture or gives exactly the size it promised.

#include <QBuffer>
#include <QCoreApplication>

#include "viewer/PictureFit.h"
#include "viewer/PictureLoader.h"

namespace fuzzcheck {

[[noreturn]] inline void mismatch() { __builtin_trap(); }

inline void loadFor(const QByteArray& bytes, QSize screen)
{
    QByteArray copy = bytes;  // QBuffer wants a mutable array
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    const Picture p = loadPicture(buffer, screen);
    if (!p.ok()) {
        if (!p.image.isNull())
            mismatch();
        return;
    }
    const PictureFit fit = fitPicture(p.natural, screen);
    const QSize wanted = fit.scaled ? fit.rect.size() : p.natural;
    if (p.image.isNull() || p.image.size() != wanted)
        mismatch();
}

// Once per process: the image format plugins are found through the
// application object, and a decoder's complaint about each broken input only
// slows the run down.
inline void start(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

}  // namespace fuzzcheck
