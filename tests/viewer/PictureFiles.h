#pragma once

#include <QByteArray>
#include <QString>

// Picture files made on the spot for the viewer's tests.
namespace picturefiles {

// A JPEG of the given size: left half red, right half blue (so a turn shows).
QByteArray jpeg(int width, int height, bool progressive = false);
// The same JPEG with an EXIF block giving the orientation (1 to 8).
QByteArray withOrientation(const QByteArray& jpeg, int orientation);
// The same JPEG whose frame header claims another size, the data unchanged.
QByteArray claimingSize(const QByteArray& jpeg, int width, int height);
bool write(const QString& path, const QByteArray& bytes);

}  // namespace picturefiles
