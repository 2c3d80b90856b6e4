#include "viewer/ScreenColours.h"

#include <QGuiApplication>
#include <QScreen>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "viewer/ColourProfile.h"

namespace {

// No real profile comes near this; a property claiming more is not read.
constexpr long kProfileLimit = 16L * 1024 * 1024;

QByteArray rootProperty(Display* display, const char* name)
{
    const Atom atom = XInternAtom(display, name, True);
    if (atom == None)
        return {};
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    QByteArray bytes;
    if (XGetWindowProperty(display, DefaultRootWindow(display), atom, 0, kProfileLimit / 4, False, AnyPropertyType,
                           &type, &format, &items, &after, &data) == Success &&
        format == 8 && after == 0 && data)
        bytes = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(items));
    if (data)
        XFree(data);
    return bytes;
}

}  // namespace

QColorSpace screenColours(const QScreen* screen)
{
    const QColorSpace sRgb(QColorSpace::SRgb);
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (!display)
        return sRgb;
    const qsizetype index = screen ? QGuiApplication::screens().indexOf(const_cast<QScreen*>(screen)) : 0;
    const QByteArray name = index > 0 ? "_ICC_PROFILE_" + QByteArray::number(index) : QByteArray("_ICC_PROFILE");
    const QColorSpace space = colourSpaceFromIcc(rootProperty(display, name.constData()));
    return space.isValid() ? space : sRgb;
}
