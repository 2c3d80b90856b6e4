#pragma once

#include <QByteArray>
#include <QSize>

#include "viewer/WholePicture.h"

// HEIF pictures (HEIC from phones, AVIF) through libheif.
namespace heif {

// Whether the bytes (the file's start, at least 12 bytes) are a HEIF file of a
// brand libheif knows.
bool looksLike(const QByteArray& start);

// How much of the primary picture the file declares, before anything is
// decoded: its upright size, and the number of items (a grid picture is
// made of one item per tile). An invalid size when it cannot be read.
struct Declared {
    QSize size;
    long items = 0;
    QString error;
};
Declared declared(const QByteArray& file);

// Decodes the primary picture upright (libheif applies the file's rotation,
// mirroring and crop) with its colour profile (ICC, or the nclx colour
// description where it names primaries and a transfer we can show).
WholePicture decode(const QByteArray& file);

}  // namespace heif
