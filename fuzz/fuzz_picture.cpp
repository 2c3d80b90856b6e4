// Feeds arbitrary bytes, from memory, to the picture loader the viewer uses,
// once for a large screen (natural size) and once for a tiny one (decoded at
// reduced size). A picture it accepts must have exactly the size it promised.

#include <QBuffer>
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

#include "viewer/PictureFit.h"
#include "viewer/PictureLoader.h"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

void loadFor(const QByteArray& bytes, QSize screen)
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The image format plugins are found through the application object.
    static QCoreApplication app(*argc, *argv);
    // A decoder's complaint about each broken input only slows the run down.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    loadFor(bytes, QSize(1920, 1080));
    loadFor(bytes, QSize(16, 12));
    return 0;
}
