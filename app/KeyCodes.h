#pragma once

// The key codes the windows act on, the same numbers on every platform:
// Windows' virtual-key codes, where Windows has one.
namespace KeyCodes {
constexpr int Escape = 27;
constexpr int Space = 32;
constexpr int Up = 38;
constexpr int Down = 40;
// Media keys, and the remote control's calls, which act as they do.
constexpr int MediaNext = 176;
constexpr int MediaPrevious = 177;
constexpr int MediaStop = 178;
constexpr int MediaPlayPause = 179;
constexpr int MediaPlay = 250;  // the remote's Play: starts, never pauses
constexpr int MediaPause = 19;  // no media code of its own: the Pause key's
}  // namespace KeyCodes

// A media key's code: acted on only while the remote control is switched on.
bool IsMediaKeyCode(int code);

// The code of a Qt key (a Qt::Key value); 0 for a key no window acts on.
int KeyCodeOf(int qtKey);
