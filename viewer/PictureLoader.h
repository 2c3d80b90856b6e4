#pragma once

#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>

class PixelMemory;
class QIODevice;

// Which state of a file was read. Rewriting a file changes its size or its
// times (the change time even when the modification time is put back), and
// replacing it changes the inode.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;
    std::int64_t modifiedSec = 0, modifiedNsec = 0;
    std::int64_t changedSec = 0, changedNsec = 0;

    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at path now (following links); nothing when it
// cannot be looked at.
std::optional<FileIdentity> fileIdentity(const QByteArray& path);

// A picture read for the screen: decoded at (or down to) its fitted size,
// upright, in device pixels.
struct Picture {
    QImage image;    // the fitted picture; null on failure
    QSize natural;   // the upright natural size; invalid when the header was unreadable
    QString error;   // why the picture cannot be shown; empty on success
    std::optional<FileIdentity> file;  // the file read, as it was opened; none when not opened

    bool ok() const { return error.isEmpty(); }
};

// Reads the picture file at path (the file system's bytes, never re-encoded)
// for a screen of the given size in device pixels. Only regular files are
// opened, and without blocking, so a FIFO, device or socket fails at once.
// Once `stop` (if given) is set, reading the file fails, so a decode no one
// wants any more ends early; it then fails, whatever was decoded. JPEG
// pictures take their pixels from `memory` when one is given. A picture that
// names its colours (an ICC profile, or EXIF's Adobe RGB mark) is converted,
// at its fitted size, to the display's colours (sRGB when none are given).
Picture loadPictureFile(const QByteArray& path, QSize screen, const std::atomic<bool>* stop = nullptr,
                        PixelMemory* memory = nullptr, const QColorSpace& display = {});

// The same from an open, random-access device (a file or a buffer in memory).
Picture loadPicture(QIODevice& device, QSize screen, const std::atomic<bool>* stop = nullptr,
                    PixelMemory* memory = nullptr, const QColorSpace& display = {});
