#pragma once

#include <QCursor>

// The pointer shape that shows nothing. Qt::BlankCursor, except on Wayland:
// there Qt 6.4 only withdraws a pointer picture it had set itself, so over a
// window that never showed one the compositor's own arrow stays on screen. A
// fully transparent picture is set instead, which the compositor does show.
QCursor HiddenPointer();
