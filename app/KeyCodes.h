#pragma once

// The key codes the windows act on, the same numbers on every platform.
namespace KeyCodes {
constexpr int Escape = 27;
constexpr int Space = 32;
constexpr int Up = 38;
constexpr int Down = 40;
}  // namespace KeyCodes

// The code of a Qt key (a Qt::Key value); 0 for a key no window acts on.
int KeyCodeOf(int qtKey);
