#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

#include <span>

// Picture files made on the spot for the viewer's tests.
namespace picturefiles {

// A JPEG of the given size: left half red, right half blue (so a turn shows).
QByteArray jpeg(int width, int height, bool progressive = false);
// A JPEG of random pixels, the same each time: nearly every coefficient is
// not zero, and many do not fit in a byte.
QByteArray noiseJpeg(int width, int height, bool progressive = false);
// A JPEG in four quarters: red, green on top; blue, white below (so every
// mirroring and turn shows).
QByteArray quarters(int width, int height);
// A CMYK JPEG of the given size.
QByteArray cmykJpeg(int width, int height, bool progressive = false);
// The same JPEG with an EXIF block giving the orientation (1 to 8).
QByteArray withOrientation(const QByteArray& jpeg, int orientation);
// The same JPEG whose frame header claims another size, the data unchanged.
QByteArray claimingSize(const QByteArray& jpeg, int width, int height);
// The same JPEG with its last scan's header repeated `times` more before its
// end, each with no data.
QByteArray withEmptyScans(const QByteArray& jpeg, int times);
// A JPEG of one colour all over.
QByteArray solidJpeg(int width, int height, QRgb colour);
// Which of `colours` a pixel on screen shows (each channel within 40 levels,
// for a JPEG's rounding); -1 for none (black, or a picture on its way).
int colourShown(QColor pixel, std::span<const QColor> colours);
// The same JPEG with an ICC profile in `chunks` APP2 segments (numbered
// `firstNumber` on, for chunks out of order).
QByteArray withIccProfile(const QByteArray& jpeg, const QByteArray& icc, int chunks = 1, int firstNumber = 1);
// The same JPEG with an EXIF block marking it Adobe RGB (colour space
// uncalibrated, interoperability index "R03"); with `index` another index.
QByteArray withExifAdobeRgb(const QByteArray& jpeg, const char* index = "R03");
// The other picture types, encoded by their own libraries (Qt for PNG and
// WebP), with an orientation (1 to 8, EXIF's numbers; HEIF's rotation and
// mirroring, JPEG XL's header) and an ICC profile where given.
enum class Kind { Png, WebP, Heic, Avif, JpegXl };
QByteArray encoded(const QImage& image, Kind kind, int orientation = 1, const QByteArray& icc = {});
const char* nameOf(Kind kind);
// A HEIC grid picture of columns x rows tiles, each the same HEVC-coded
// tile x tile square of one colour, as phones store their photos.
QByteArray heicGrid(int columns, int rows, int tile, QRgb colour);
bool write(const QString& path, const QByteArray& bytes);
// The same at exactly these path bytes: Qt's file names would re-encode a
// name that is not UTF-8.
bool writeAt(const QByteArray& path, const QByteArray& bytes);

// Colour profiles made by Little CMS, which also gives the reference
// conversions: an engine of its own, not the one the loader uses.
QByteArray displayP3();
QByteArray adobeRgb();
QByteArray sRgb();
QByteArray savedProfile(void* lcmsProfile);  // closes the profile
// The pixels of an RGB32 image converted from one profile to another.
QImage referenceConversion(QImage image, const QByteArray& from, const QByteArray& to);

}  // namespace picturefiles
