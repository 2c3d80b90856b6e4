#include "viewer/HiddenPointer.h"

#include <QGuiApplication>
#include <QPixmap>

QCursor HiddenPointer()
{
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return QCursor(Qt::BlankCursor);
    QPixmap nothing(16, 16);
    nothing.fill(Qt::transparent);
    return QCursor(nothing, 0, 0);
}
