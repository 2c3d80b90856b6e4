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
    {Qt::Key_MediaNext, KeyCodes::MediaNext},
    {Qt::Key_Forward, KeyCodes::MediaNext},  // a remote's Forward
    {Qt::Key_MediaPrevious, KeyCodes::MediaPrevious},
    {Qt::Key_Back, KeyCodes::MediaPrevious},
    {Qt::Key_MediaStop, KeyCodes::MediaStop},
    {Qt::Key_MediaTogglePlayPause, KeyCodes::MediaPlayPause},
    // Most keyboards' play key is a play/pause key (X calls it XF86AudioPlay),
    // and desktops treat it as one.
    {Qt::Key_MediaPlay, KeyCodes::MediaPlayPause},
    {Qt::Key_MediaPause, KeyCodes::MediaPause},
};
}  // namespace

int KeyCodeOf(int qtKey)
{
    for (const Binding& b : kBindings)
        if (b.qtKey == qtKey)
            return b.code;
    return 0;
}

bool IsMediaKeyCode(int code)
{
    using namespace KeyCodes;
    for (int media : {MediaNext, MediaPrevious, MediaStop, MediaPlayPause, MediaPlay, MediaPause})
        if (code == media)
            return true;
    return false;
}
