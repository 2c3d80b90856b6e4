#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class QIODevice;

// A JPEG decoded by libjpeg-turbo itself: the headers read once, the scan
// decoded at the smallest DCT scale that still gives the size asked for,
// straight into the rows of the image, and stopped between two rows when it
// is no longer wanted.
class JpegDecoder {
public:
    // What a whole picture's coefficients may take, unpacked: a 24 MP
    // progressive photo's are 72 MB (kept packed, in far less); a file of a
    // few hundred bytes may claim tens of GB.
    static constexpr std::size_t kMemoryLimit = 192u * 1024 * 1024;

    // Reads from the device's current position. Once `stop` (if given) is set,
    // the decode fails at its next rows or its next read. A picture whose
    // coefficients would take more than `memoryLimit` unpacked fails.
    explicit JpegDecoder(QIODevice& device, const std::atomic<bool>* stop = nullptr,
                         std::size_t memoryLimit = kMemoryLimit);
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Reads the headers up to the first scan. True when the picture can be
    // decoded here. False with an error for a broken JPEG; false without one
    // for data another reader should be given: no JPEG at all, or CMYK colours.
    bool readHeader();

    QSize size() const;       // as stored
    // Once the headers are read (also for data left to another reader): the
    // memory libjpeg would keep for the whole picture at once, every block's
    // coefficients for a file of many scans (progressive, or colours scanned
    // apart; kept packed here, in less); 0 for a single scan, decoded a few
    // rows at a time.
    std::size_t wholePictureBytes() const;
    int orientation() const;  // the EXIF orientation: 1 (as stored) to 8
    // The embedded ICC profile (APP2 chunks put together by libjpeg-turbo),
    // empty when there is none or its chunks do not fit together.
    const QByteArray& iccProfile() const;
    // EXIF says the colours are Adobe RGB (1998) without embedding a profile.
    bool exifAdobeRgb() const;

    // Chooses the smallest of the scales 1/8 to 8/8 at which the picture is at
    // least `atLeast` in both sides (the full size when none is) and returns
    // the picture's size at that scale; an invalid size, with the error set,
    // when the headers do not allow it.
    QSize scaleFor(QSize atLeast);

    // Decodes the picture at the scale chosen (the full size when none was) in
    // rows of RGB32 pixels from the top, handing each row to `row`. False with
    // the error set on failure. A file that ends early gives what was decoded,
    // the rest grey, as other viewers show it.
    bool decode(const std::function<void(const std::uint32_t* row)>& row);
    // The same straight into the rows of an RGB32 image of the decoded size.
    bool decodeInto(QImage& image);

    const QString& error() const;

private:
    struct State;
    std::unique_ptr<State> d_;
};

// The orientation (1 to 8) an EXIF block (the APP1 segment's data, from its
// "Exif" signature on) gives; 1 when it gives none or cannot be read.
int exifOrientation(const unsigned char* data, std::size_t size);

// Whether an EXIF block marks its colours as Adobe RGB (1998) the way cameras
// do without a profile: colour space "uncalibrated" (0xFFFF) with the
// interoperability index "R03".
bool exifMarksAdobeRgb(const unsigned char* data, std::size_t size);
