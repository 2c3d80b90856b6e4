#pragma once

#include <QByteArray>

#include <cstdint>

// A change below a watched folder: a complete picture that appeared, or one
// that went. The path is written as the folder search writes it.
struct FolderChange {
    enum Kind : std::uint8_t { Added, Removed };
    Kind kind;
    QByteArray path;
    bool operator==(const FolderChange&) const = default;
};
