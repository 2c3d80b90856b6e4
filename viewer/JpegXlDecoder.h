#pragma once

#include <QByteArray>

#include "viewer/WholePicture.h"

// JPEG XL pictures through libjxl.
namespace jpegxl {

// Whether the bytes (the file's start) are a JPEG XL codestream or container.
bool looksLike(const QByteArray& start);

// Decodes the first frame upright (libjxl applies the orientation the file
// gives) with the colours the file names. The declared size is checked
// before any pixel memory is taken, and libjxl's own memory stays within
// kWholePictureLimit, or the decode fails.
WholePicture decode(const QByteArray& file, std::size_t memoryLimit = kWholePictureLimit);

}  // namespace jpegxl
