#pragma once

class QIODevice;

// The EXIF orientation (1 to 8) that a PNG (its eXIf chunk) or a WebP file
// (its EXIF chunk) gives, which Qt's readers leave as stored; 1 for other
// files, or when there is none or it cannot be read. Reads from the device's
// current position and puts it back.
int chunkOrientation(QIODevice& device);
