#include "app/KeyCodes.h"

#include <Qt>

namespace {
struct Binding {
    int qtKey;
    int code;
};
constexpr Binding kBindings[] = {
    {Qt::Key_Escape, KeyCodes::Escape},
    {Qt::Key_Space, KeyCodes::Space},
    {Qt::Key_Up, KeyCodes::Up},
    {Qt::Key_Down, KeyCodes::Down},
};
}  // namespace

int KeyCodeOf(int qtKey)
{
    for (const Binding& b : kBindings)
        if (b.qtKey == qtKey)
            return b.code;
    return 0;
}
