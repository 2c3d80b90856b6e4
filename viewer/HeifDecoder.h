#pragma once

#include <QByteArray>
#include <QSize>

#include "viewer/WholePicture.h"

// HEIF pictures (HEIC from phones, AVIF) through libheif.
namespace heif {

// Whether the bytes (the file's start, at least 12 bytes) are a HEIF file of a
// brand libheif knows.
bool looksLike(const QByteArray& start);

// The number of items the file lists (a grid picture is made of one item
// per tile), read without libheif, whose reading of a file of thousands
// takes most of a second; -1 when the list cannot be found.
long itemCount(const QByteArray& file);

// The output size a primary picture made of a grid of tiles gives in its own
// description, which libheif decodes to whatever the picture's size property
// says; invalid when the primary picture is no grid, or when its description
// cannot be found.
QSize gridSize(const QByteArray& file);

// The upright size of the primary picture, as libheif reads it from the
// file before anything is decoded; an invalid size, with why, when it cannot.
struct Declared {
    QSize size;
    QString error;
};
Declared declared(const QByteArray& file);

// Decodes the primary picture upright (libheif applies the file's rotation,
// mirroring and crop) with its colour profile (ICC, or the nclx colour
// description where it names primaries and a transfer we can show).
WholePicture decode(const QByteArray& file);

}  // namespace heif
