#include "tests/viewer/PictureFiles.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QPainter>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>
#include <lcms2.h>
#include <jxl/encode.h>
#include <libheif/heif.h>

#include <QColorSpace>

#include <string_view>
#include <zlib.h>

namespace picturefiles {

namespace {

QByteArray encoded(const QImage& image, bool progressive)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

}  // namespace

QByteArray jpeg(int width, int height, bool progressive)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height, Qt::red);
    painter.fillRect(width / 2, 0, width - width / 2, height, Qt::blue);
    painter.end();
    return encoded(image, progressive);
}

QByteArray noiseJpeg(int width, int height, bool progressive)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::uint32_t state = 12345;  // the same noise every time
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            row[x] = 0xff000000u | (state >> 8);
        }
    }
    return encoded(image, progressive);
}

QByteArray quarters(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    const int w = width / 2, h = height / 2;
    QPainter painter(&image);
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, width - w, h, Qt::green);
    painter.fillRect(0, h, w, height - h, Qt::blue);
    painter.fillRect(w, h, width - w, height - h, Qt::white);
    painter.end();
    return encoded(image, false);
}

QByteArray cmykJpeg(int width, int height, bool progressive)
{
    // Qt writes no CMYK JPEGs: libjpeg does.
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 4, 0x80);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray bytes(reinterpret_cast<const char*>(out), static_cast<qsizetype>(size));
    std::free(out);
    return bytes;
}

QByteArray withOrientation(const QByteArray& jpeg, int orientation)
{
    // APP1 "Exif": big-endian TIFF header, one IFD with the orientation tag.
    QByteArray tiff("MM\0\x2a\0\0\0\x08", 8);
    tiff += QByteArray("\0\x01", 2);                                    // one entry
    tiff += QByteArray("\x01\x12\0\x03\0\0\0\x01", 8);                  // 0x0112, SHORT, count 1
    tiff += QByteArray(1, '\0') + QByteArray(1, char(orientation)) + QByteArray(2, '\0');
    tiff += QByteArray(4, '\0');                                        // no next IFD
    QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
    const int length = app1.size() + 2;
    QByteArray segment("\xFF\xE1", 2);
    segment += char(length >> 8);
    segment += char(length & 0xFF);
    segment += app1;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

namespace {
QByteArray segment(char marker, const QByteArray& payload)
{
    const int length = static_cast<int>(payload.size()) + 2;
    QByteArray out("\xFF", 1);
    out += marker;
    out += char(length >> 8);
    out += char(length & 0xFF);
    return out + payload;
}
}  // namespace

QByteArray solidJpeg(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

int colourShown(QColor pixel, std::span<const QColor> colours)
{
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const QColor& c = colours[i];
        if (std::abs(c.red() - pixel.red()) < 40 && std::abs(c.green() - pixel.green()) < 40 &&
            std::abs(c.blue() - pixel.blue()) < 40)
            return static_cast<int>(i);
    }
    return -1;
}

QByteArray withIccProfile(const QByteArray& jpeg, const QByteArray& icc, int chunks, int firstNumber)
{
    QByteArray segments;
    const qsizetype each = (icc.size() + chunks - 1) / chunks;
    for (int i = 0; i < chunks; ++i) {
        QByteArray payload("ICC_PROFILE\0", 12);
        payload += char(firstNumber + i);
        payload += char(chunks);
        payload += icc.mid(i * each, each);
        segments += segment('\xE2', payload);
    }
    return jpeg.left(2) + segments + jpeg.mid(2);
}

QByteArray withExifAdobeRgb(const QByteArray& jpeg, const char* index)
{
    // Big-endian TIFF: IFD0 at 8 with the Exif IFD pointer; the Exif IFD at
    // 26 with the colour space and the interoperability pointer; that IFD at
    // 56 with the index.
    QByteArray tiff("MM\0\x2a\0\0\0\x08", 8);
    tiff += QByteArray("\0\x01" "\x87\x69\0\x04\0\0\0\x01\0\0\0\x1a" "\0\0\0\0", 18);
    tiff += QByteArray("\0\x02" "\xa0\x01\0\x03\0\0\0\x01\xff\xff\0\0" "\xa0\x05\0\x04\0\0\0\x01\0\0\0\x38"
                       "\0\0\0\0", 30);
    tiff += QByteArray("\0\x01" "\0\x01\0\x02\0\0\0\x04", 10) + QByteArray(index, 3) + QByteArray(1, '\0');
    tiff += QByteArray(4, '\0');
    return jpeg.left(2) + segment('\xE1', QByteArray("Exif\0\0", 6) + tiff) + jpeg.mid(2);
}

QByteArray claimingSize(const QByteArray& jpeg, int width, int height)
{
    QByteArray out = jpeg;
    int at = out.indexOf(QByteArray("\xFF\xC0", 2));
    if (at < 0)
        at = out.indexOf(QByteArray("\xFF\xC2", 2));
    if (at < 0)
        return out;
    out[at + 5] = char(height >> 8);
    out[at + 6] = char(height & 0xFF);
    out[at + 7] = char(width >> 8);
    out[at + 8] = char(width & 0xFF);
    return out;
}

QByteArray withEmptyScans(const QByteArray& jpeg, int times)
{
    const qsizetype at = jpeg.lastIndexOf(QByteArray("\xFF\xDA", 2));
    if (at < 0 || !jpeg.endsWith(QByteArray("\xFF\xD9", 2)))
        return jpeg;
    const int length = (uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]);
    const QByteArray scan = jpeg.mid(at, 2 + length);
    return jpeg.chopped(2) + scan.repeated(times) + jpeg.right(2);
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

bool writeAt(const QByteArray& path, const QByteArray& bytes)
{
    std::FILE* f = std::fopen(path.constData(), "wb");
    if (!f)
        return false;
    const bool written = std::fwrite(bytes.constData(), 1, bytes.size(), f) == static_cast<std::size_t>(bytes.size());
    return std::fclose(f) == 0 && written;
}

namespace {

heif_error appendTo(heif_context*, const void* data, size_t size, void* out)
{
    static_cast<QByteArray*>(out)->append(static_cast<const char*>(data), static_cast<qsizetype>(size));
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

QByteArray heifFile(const QImage& picture, bool avif, int orientation, const QByteArray& icc)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    heif_image* image = nullptr;
    heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, rgb.width(), rgb.height(), 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + y * stride, rgb.constScanLine(y), static_cast<size_t>(rgb.width()) * 3);
    if (!icc.isEmpty())
        heif_image_set_raw_color_profile(image, "prof", icc.constData(), static_cast<size_t>(icc.size()));
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(context, avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 95);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(orientation);
    QByteArray out;
    if (heif_context_encode_image(context, image, encoder, options, nullptr).code == heif_error_Ok) {
        heif_writer writer{1, appendTo};
        heif_context_write(context, &writer, &out);
    }
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_context_free(context);
    heif_image_release(image);
    return out;
}

QByteArray jpegXlFile(const QImage& picture, int orientation, const QByteArray& icc)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    JxlEncoder* encoder = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = static_cast<std::uint32_t>(rgb.width());
    info.ysize = static_cast<std::uint32_t>(rgb.height());
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.orientation = static_cast<JxlOrientation>(orientation);
    info.uses_original_profile = JXL_TRUE;
    JxlEncoderSetBasicInfo(encoder, &info);
    if (icc.isEmpty()) {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        JxlEncoderSetColorEncoding(encoder, &srgb);
    } else {
        JxlEncoderSetICCProfile(encoder, reinterpret_cast<const std::uint8_t*>(icc.constData()),
                                static_cast<size_t>(icc.size()));
    }
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < rgb.height(); ++y)
        pixels.insert(pixels.end(), rgb.constScanLine(y), rgb.constScanLine(y) + rgb.width() * 3);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size());
    JxlEncoderCloseInput(encoder);
    QByteArray out(4096, '\0');
    std::size_t written = 0;
    for (;;) {
        auto* next = reinterpret_cast<std::uint8_t*>(out.data()) + written;
        std::size_t room = static_cast<std::size_t>(out.size()) - written;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &room);
        written = static_cast<std::size_t>(next - reinterpret_cast<std::uint8_t*>(out.data()));
        if (status != JXL_ENC_NEED_MORE_OUTPUT) {
            out.resize(status == JXL_ENC_SUCCESS ? static_cast<qsizetype>(written) : 0);
            break;
        }
        out.resize(out.size() * 2);
    }
    JxlEncoderDestroy(encoder);
    return out;
}

// A TIFF block with one folder holding the orientation, as PNG and WebP carry it.
QByteArray orientationTiff(int orientation)
{
    QByteArray tiff("MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0", 19);
    tiff += char(orientation);
    tiff += QByteArray(6, '\0');
    return tiff;
}

QByteArray be32(quint32 v)
{
    const char b[] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}
quint32 be32Of(const QByteArray& b, qsizetype at)
{
    return quint32(uchar(b[at])) << 24 | quint32(uchar(b[at + 1])) << 16 | quint32(uchar(b[at + 2])) << 8 |
           uchar(b[at + 3]);
}
QByteArray le32(quint32 v)
{
    const char b[] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(b, 4);
}

// An eXIf chunk after the header chunk.
QByteArray pngWithOrientation(const QByteArray& png, int orientation)
{
    const QByteArray body = "eXIf" + orientationTiff(orientation);
    const QByteArray chunk = be32(quint32(body.size() - 4)) + body +
                             be32(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))));
    constexpr int kAfterHeader = 8 + 25;
    return png.left(kAfterHeader) + chunk + png.mid(kAfterHeader);
}

// The extended layout: a VP8X chunk saying EXIF follows, the image, the EXIF chunk.
QByteArray webpWithOrientation(const QByteArray& webp, const QSize& size, int orientation)
{
    QByteArray vp8x("VP8X", 4);
    vp8x += le32(10);
    vp8x += QByteArray(1, '\x08') + QByteArray(3, '\0');
    vp8x += le32(quint32(size.width() - 1)).left(3) + le32(quint32(size.height() - 1)).left(3);
    QByteArray exif = "EXIF" + le32(quint32(orientationTiff(orientation).size())) + orientationTiff(orientation);
    if (exif.size() % 2)
        exif += '\0';
    const QByteArray chunks = vp8x + webp.mid(12) + exif;
    return "RIFF" + le32(quint32(4 + chunks.size())) + "WEBP" + chunks;
}

// What Qt writes, with the orientation added in the file's own EXIF chunk.
QByteArray qtFile(const QImage& picture, const char* format, const QByteArray& icc, int orientation)
{
    QImage image = picture;
    if (!icc.isEmpty())
        image.setColorSpace(QColorSpace::fromIccProfile(icc));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(100);
    writer.write(image);
    if (orientation == 1)
        return bytes;
    return std::string_view(format) == "png" ? pngWithOrientation(bytes, orientation)
                                             : webpWithOrientation(bytes, image.size(), orientation);
}

}  // namespace

QByteArray encoded(const QImage& image, Kind kind, int orientation, const QByteArray& icc)
{
    switch (kind) {
    case Kind::Png: return qtFile(image, "png", icc, orientation);
    case Kind::WebP: return qtFile(image, "webp", icc, orientation);
    case Kind::Heic: return heifFile(image, false, orientation, icc);
    case Kind::Avif: return heifFile(image, true, orientation, icc);
    case Kind::JpegXl: return jpegXlFile(image, orientation, icc);
    }
    return {};
}

const char* nameOf(Kind kind)
{
    switch (kind) {
    case Kind::Png: return "PNG";
    case Kind::WebP: return "WebP";
    case Kind::Heic: return "HEIC";
    case Kind::Avif: return "AVIF";
    case Kind::JpegXl: return "JPEG XL";
    }
    return "?";
}

namespace {

QByteArray be16(int v)
{
    const char b[] = {char(v >> 8), char(v)};
    return QByteArray(b, 2);
}

QByteArray box(const char* type, const QByteArray& content)
{
    return be32(quint32(8 + content.size())) + QByteArray(type, 4) + content;
}

QByteArray fullBox(const char* type, int version, const QByteArray& content)
{
    return box(type, QByteArray(1, char(version)) + QByteArray(3, '\0') + content);
}

// The content of the first box of the given type found anywhere in the file.
QByteArray boxContent(const QByteArray& file, const char* type)
{
    const qsizetype at = file.indexOf(QByteArray(type, 4));
    if (at < 4)
        return {};
    const quint32 size = be32Of(file, at - 4);
    return file.mid(at + 4, size - 8);
}

}  // namespace

QByteArray heicGrid(int columns, int rows, int tile, QRgb colour)
{
    QImage square(tile, tile, QImage::Format_RGB32);
    square.fill(colour);
    const QByteArray one = heifFile(square, false, 1, {});
    const QByteArray hvcC = box("hvcC", boxContent(one, "hvcC"));
    const QByteArray coded = boxContent(one, "mdat");
    const int tiles = columns * rows;

    const QByteArray gridDescription = QByteArray(2, '\0') + char(rows - 1) + char(columns - 1) +
                                       be16(columns * tile) + be16(rows * tile);
    QByteArray infos = be16(tiles + 1) + fullBox("infe", 2, be16(1) + be16(0) + "grid" + QByteArray(1, '\0'));
    QByteArray references = be16(1) + be16(tiles);
    QByteArray associations = be32(quint32(tiles + 1)) + be16(1) + char(1) + char(0x83);
    for (int i = 0; i < tiles; ++i) {
        infos += fullBox("infe", 2, be16(i + 2) + be16(0) + "hvc1" + QByteArray(1, '\0'));
        references += be16(i + 2);
        associations += be16(i + 2) + char(2) + char(0x81) + char(0x02);
    }
    const QByteArray properties =
        box("iprp", box("ipco", hvcC + fullBox("ispe", 0, be32(quint32(tile)) + be32(quint32(tile))) +
                                    fullBox("ispe", 0, be32(quint32(columns * tile)) + be32(quint32(rows * tile)))) +
                        fullBox("ipma", 0, associations));
    const QByteArray ftyp = box("ftyp", QByteArray("heic\0\0\0\0mif1heic", 16));
    // The item locations point into the media data, which follows the meta
    // box: their offsets depend on its size, which does not depend on them.
    auto meta = [&](quint32 mdatStart) {
        QByteArray locations = QByteArray("\x44\x00", 2) + be16(tiles + 1);
        locations += be16(1) + be16(0) + be16(1) + be32(mdatStart) + be32(quint32(gridDescription.size()));
        for (int i = 0; i < tiles; ++i)
            locations += be16(i + 2) + be16(0) + be16(1) + be32(mdatStart + quint32(gridDescription.size())) +
                         be32(quint32(coded.size()));
        return fullBox("meta", 0,
                       fullBox("hdlr", 0, QByteArray(4, '\0') + "pict" + QByteArray(13, '\0')) +
                           fullBox("pitm", 0, be16(1)) + fullBox("iloc", 0, locations) + fullBox("iinf", 0, infos) +
                           fullBox("iref", 0, box("dimg", references)) + properties);
    };
    const quint32 mdatStart = quint32(ftyp.size() + meta(0).size() + 8);
    return ftyp + meta(mdatStart) + box("mdat", gridDescription + coded);
}

// Profiles made by Little CMS, which also gives the reference conversions:
// an engine of its own, not the one the loader uses.
QByteArray savedProfile(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    QByteArray bytes;
    if (profile && cmsSaveProfileToMem(profile, nullptr, &size)) {
        bytes.resize(static_cast<qsizetype>(size));
        cmsSaveProfileToMem(profile, bytes.data(), &size);
    }
    if (profile)
        cmsCloseProfile(profile);
    return bytes;
}

namespace {
QByteArray rgbProfile(const cmsCIExyYTRIPLE& primaries, cmsToneCurve* curve)
{
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const QByteArray bytes = savedProfile(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(curve);
    return bytes;
}

cmsToneCurve* sRgbCurve()
{
    const double parameters[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    return cmsBuildParametricToneCurve(nullptr, 4, parameters);
}

}  // namespace

QByteArray displayP3() { return rgbProfile({{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}}, sRgbCurve()); }
QByteArray adobeRgb()
{
    return rgbProfile({{0.640, 0.330, 1}, {0.210, 0.710, 1}, {0.150, 0.060, 1}},
                      cmsBuildGamma(nullptr, 563.0 / 256.0));
}
QByteArray sRgb() { return savedProfile(cmsCreate_sRGBProfile()); }

// The pixels converted from one profile to another by Little CMS.
QImage referenceConversion(QImage image, const QByteArray& from, const QByteArray& to)
{
    cmsHPROFILE in = cmsOpenProfileFromMem(from.constData(), static_cast<cmsUInt32Number>(from.size()));
    cmsHPROFILE out = cmsOpenProfileFromMem(to.constData(), static_cast<cmsUInt32Number>(to.size()));
    cmsHTRANSFORM transform = cmsCreateTransform(in, TYPE_BGRA_8, out, TYPE_BGRA_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    for (int y = 0; y < image.height(); ++y)
        cmsDoTransform(transform, image.scanLine(y), image.scanLine(y), static_cast<cmsUInt32Number>(image.width()));
    cmsDeleteTransform(transform);
    cmsCloseProfile(in);
    cmsCloseProfile(out);
    return image;
}

}  // namespace picturefiles
