#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

class QIODevice;

// A picture read for the screen: decoded at (or down to) its fitted size,
// upright, in device pixels.
struct Picture {
    QImage image;    // the fitted picture; null on failure
    QSize natural;   // the upright natural size; invalid when the header was unreadable
    QString error;   // why the picture cannot be shown; empty on success

    bool ok() const { return error.isEmpty(); }
};

// Reads the picture file at path (the file system's bytes, never re-encoded)
// for a screen of the given size in device pixels. Only regular files are
// opened, and without blocking, so a FIFO, device or socket fails at once.
Picture loadPictureFile(const QByteArray& path, QSize screen);

// The same from an open, random-access device (a file or a buffer in memory).
Picture loadPicture(QIODevice& device, QSize screen);

// Working memory the JPEG decoder would need for the whole picture at once
// (progressive and multi-scan files keep every coefficient), or 0 when the
// data is no JPEG or decodes line by line. Reads the headers only and leaves
// the device where it was.
qint64 jpegCoefficientBytes(QIODevice& device);
