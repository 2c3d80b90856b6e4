#pragma once

#include <QColorSpace>
#include <QSize>
#include <QString>

#include <cstddef>
#include <memory>

// A picture a library decoded whole (its libraries cannot hand out rows, or
// decode at a reduced size), upright, 8 bits a channel, four channels a pixel.
struct WholePicture {
    QSize size;                         // upright; invalid when the decode failed
    const unsigned char* pixels = nullptr;
    std::ptrdiff_t stride = 0;          // bytes from one row to the next
    bool redFirst = true;               // R, G, B, A in memory (else RGB32's B, G, R, A)
    QColorSpace colours;                // what the file says; invalid when it says nothing usable
    std::shared_ptr<const void> owner;  // keeps the pixels
    QString error;                      // why there is no picture
};

// What the whole-picture decoders may take for one picture, their own
// working memory included; a file declaring more is refused before anything
// is allocated for it.
inline constexpr std::size_t kWholePictureLimit = 512u * 1024 * 1024;
