#pragma once

#include <QByteArray>
#include <QString>

// Picture files made on the spot for the viewer's tests.
namespace picturefiles {

// A JPEG of the given size: left half red, right half blue (so a turn shows).
QByteArray jpeg(int width, int height, bool progressive = false);
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
bool write(const QString& path, const QByteArray& bytes);
// The same at exactly these path bytes: Qt's file names would re-encode a
// name that is not UTF-8.
bool writeAt(const QByteArray& path, const QByteArray& bytes);

}  // namespace picturefiles
