#include "viewer/HeifDecoder.h"

#include <libheif/heif.h>

#include <QPointF>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "viewer/ColourProfile.h"

namespace heif {

namespace {

// libheif's own check of the declared size, beside ours.
constexpr int kSideLimit = 32768;

struct Context {
    heif_context* context = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    ~Context()
    {
        if (handle)
            heif_image_handle_release(handle);
        heif_context_free(context);
    }
};

QString message(const heif_error& error) { return QString::fromUtf8(error.message ? error.message : "HEIF error"); }

// Opens the file and its primary picture; the error when it cannot.
QString open(Context& c, const QByteArray& file)
{
    if (!c.context)
        return QStringLiteral("There is not enough memory for the picture.");
    heif_context_set_maximum_image_size_limit(c.context, kSideLimit);
    heif_error e = heif_context_read_from_memory_without_copy(c.context, file.constData(),
                                                              static_cast<std::size_t>(file.size()), nullptr);
    if (e.code == heif_error_Ok)
        e = heif_context_get_primary_image_handle(c.context, &c.handle);
    return e.code == heif_error_Ok ? QString() : message(e);
}

std::uint32_t be32(const unsigned char* p) { return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// The boxes at [from, to) of the file: calls `box(type, contentStart, end)`
// for each until it returns true; false when none did or the boxes do not fit.
template <typename Box>
bool eachBox(const unsigned char* data, std::size_t from, std::size_t to, Box&& box)
{
    while (from + 8 <= to) {
        std::uint64_t size = be32(data + from);
        std::size_t header = 8;
        if (size == 1) {
            if (from + 16 > to)
                return false;
            size = std::uint64_t(be32(data + from + 8)) << 32 | be32(data + from + 12);
            header = 16;
        } else if (size == 0) {
            size = to - from;
        }
        if (size < header || size > to - from)
            return false;
        if (box(data + from + 4, from + header, from + static_cast<std::size_t>(size)))
            return true;
        from += static_cast<std::size_t>(size);
    }
    return false;
}

}  // namespace

// The item count of the meta box's item information ('iinf').
long itemCount(const QByteArray& file)
{
    const auto* data = reinterpret_cast<const unsigned char*>(file.constData());
    long items = -1;
    eachBox(data, 0, static_cast<std::size_t>(file.size()), [&](const unsigned char* type, std::size_t at, std::size_t end) {
        if (std::memcmp(type, "meta", 4) != 0 || at + 4 > end)
            return false;
        // A full box: version and flags first.
        return eachBox(data, at + 4, end, [&](const unsigned char* inner, std::size_t from, std::size_t to) {
            if (std::memcmp(inner, "iinf", 4) != 0 || from + 6 > to)
                return false;
            const bool wide = data[from] != 0;
            if (wide && from + 8 > to)
                return false;
            items = wide ? static_cast<long>(be32(data + from + 4)) : data[from + 4] << 8 | data[from + 5];
            return true;
        });
    });
    return items;
}

namespace {

// Reads big-endian numbers of 0 to 8 bytes from [at, end), failing past the end.
struct Reader {
    const unsigned char* data;
    std::size_t at, end;
    bool ok = true;

    std::uint64_t take(std::size_t bytes)
    {
        if (!ok || bytes > end - at) {
            ok = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value = value << 8 | data[at++];
        return value;
    }
};

}  // namespace

QSize gridSize(const QByteArray& file)
{
    const auto* data = reinterpret_cast<const unsigned char*>(file.constData());
    const std::size_t size = static_cast<std::size_t>(file.size());
    // The meta box's primary item, its type, where its data is, and the idat box.
    std::uint64_t primary = 0, offset = 0, length = 0;
    int method = -1;
    bool isGrid = false;
    std::size_t idat = 0, idatEnd = 0;
    eachBox(data, 0, size, [&](const unsigned char* type, std::size_t at, std::size_t end) {
        if (std::memcmp(type, "meta", 4) != 0 || at + 4 > end)
            return false;
        // The boxes in the order they can depend on each other: pitm, then iinf and iloc.
        for (const char* wanted : {"pitm", "iinf", "iloc", "idat"})
            eachBox(data, at + 4, end, [&](const unsigned char* inner, std::size_t from, std::size_t to) {
                if (std::memcmp(inner, wanted, 4) != 0)
                    return false;
                Reader r{data, from, to};
                const auto version = r.take(1);
                r.take(3);
                if (std::memcmp(wanted, "pitm", 4) == 0) {
                    primary = r.take(version == 0 ? 2 : 4);
                } else if (std::memcmp(wanted, "idat", 4) == 0) {
                    idat = from;
                    idatEnd = to;
                } else if (std::memcmp(wanted, "iinf", 4) == 0) {
                    r.take(version == 0 ? 2 : 4);
                    eachBox(data, r.at, to, [&](const unsigned char* entry, std::size_t e, std::size_t eEnd) {
                        Reader info{data, e, eEnd};
                        const auto v = info.take(1);
                        info.take(3);
                        if (std::memcmp(entry, "infe", 4) != 0 || v < 2)
                            return false;
                        const auto id = info.take(v == 2 ? 2 : 4);
                        info.take(2);
                        if (info.ok && id == primary && info.at + 4 <= eEnd)
                            isGrid = std::memcmp(data + info.at, "grid", 4) == 0;
                        return info.ok && id == primary;
                    });
                } else {
                    const auto sizes = r.take(1), more = r.take(1);
                    const std::size_t offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = more >> 4,
                                      indexSize = version >= 1 ? more & 15 : 0;
                    const auto count = r.take(version < 2 ? 2 : 4);
                    for (std::uint64_t i = 0; i < count && r.ok; ++i) {
                        const auto id = r.take(version < 2 ? 2 : 4);
                        const int m = version >= 1 ? static_cast<int>(r.take(2) & 15) : 0;
                        r.take(2);
                        const auto base = r.take(baseSize);
                        // Extents of no bytes at all are read as one.
                        const auto extents = std::min<std::uint64_t>(r.take(2), offsetSize + lengthSize + indexSize ? 0xffff : 1);
                        for (std::uint64_t x = 0; x < extents && r.ok; ++x) {
                            r.take(indexSize);
                            const auto o = r.take(offsetSize), l = r.take(lengthSize);
                            if (id == primary && x == 0) {
                                method = m;
                                offset = base + o;
                                length = l;
                            }
                        }
                        if (id == primary)
                            break;
                    }
                }
                return true;
            });
        return true;
    });
    if (!isGrid || (method != 0 && method != 1))
        return {};
    // The grid's description: version, flags, rows and columns less one, then
    // the output width and height in 16 bits, or 32 with the flag's bit 0.
    const std::size_t start = method == 1 ? idat : 0, limit = method == 1 ? idatEnd : size;
    if (offset > limit - start || (length && length < 8))
        return {};
    Reader grid{data, start + static_cast<std::size_t>(offset), limit};
    grid.take(1);
    const auto wide = grid.take(1) & 1;
    grid.take(2);
    const auto width = grid.take(wide ? 4 : 2), height = grid.take(wide ? 4 : 2);
    if (!grid.ok || width > 0x7fffffff || height > 0x7fffffff)
        return {};
    return QSize(static_cast<int>(width), static_cast<int>(height));
}

namespace {

QColorSpace::TransferFunction transferOf(heif_transfer_characteristics t, bool& known)
{
    known = true;
    switch (t) {
    case heif_transfer_characteristic_IEC_61966_2_1:
        return QColorSpace::TransferFunction::SRgb;
    // The video curves are close to sRGB's on a screen; encoders write them
    // for pictures meant as sRGB.
    case heif_transfer_characteristic_ITU_R_BT_709_5:
    case heif_transfer_characteristic_ITU_R_BT_601_6:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_10bit:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_12bit:
        return QColorSpace::TransferFunction::SRgb;
    case heif_transfer_characteristic_linear:
        return QColorSpace::TransferFunction::Linear;
    default:
        known = false;  // unspecified, or high dynamic range (PQ, HLG)
        return QColorSpace::TransferFunction::SRgb;
    }
}

QColorSpace coloursOf(const heif_image_handle* handle)
{
    switch (heif_image_handle_get_color_profile_type(handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        QByteArray icc(static_cast<qsizetype>(heif_image_handle_get_raw_color_profile_size(handle)), '\0');
        if (icc.isEmpty() || heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
            return {};
        return colourSpaceFromIcc(icc);
    }
    case heif_color_profile_type_nclx: {
        heif_color_profile_nclx* nclx = nullptr;
        const heif_error e = heif_image_handle_get_nclx_color_profile(handle, &nclx);
        // libheif may hand out the description it made even when it refuses it.
        const std::unique_ptr<heif_color_profile_nclx, void (*)(heif_color_profile_nclx*)> owned(
            nclx, heif_nclx_color_profile_free);
        if (e.code != heif_error_Ok || !nclx)
            return {};
        bool known = false;
        const QColorSpace::TransferFunction transfer = transferOf(nclx->transfer_characteristics, known);
        QColorSpace space;
        if (known && nclx->color_primaries != heif_color_primaries_unspecified)
            space = QColorSpace(QPointF(nclx->color_primary_white_x, nclx->color_primary_white_y),
                                QPointF(nclx->color_primary_red_x, nclx->color_primary_red_y),
                                QPointF(nclx->color_primary_green_x, nclx->color_primary_green_y),
                                QPointF(nclx->color_primary_blue_x, nclx->color_primary_blue_y), transfer);
        return space.isValid() ? space : QColorSpace();
    }
    default:
        return {};
    }
}

}  // namespace

bool looksLike(const QByteArray& start)
{
    if (start.size() < 12)
        return false;
    const heif_filetype_result kind = heif_check_filetype(reinterpret_cast<const std::uint8_t*>(start.constData()),
                                                          static_cast<int>(start.size()));
    return kind == heif_filetype_yes_supported || kind == heif_filetype_yes_unsupported;
}

Declared declared(const QByteArray& file)
{
    Declared d;
    Context c;
    d.error = open(c, file);
    if (!d.error.isEmpty())
        return d;
    d.size = QSize(heif_image_handle_get_width(c.handle), heif_image_handle_get_height(c.handle));
    return d;
}

WholePicture decode(const QByteArray& file)
{
    WholePicture picture;
    auto c = std::make_shared<Context>();
    picture.error = open(*c, file);
    if (!picture.error.isEmpty())
        return picture;
    heif_image* image = nullptr;
    const heif_error e =
        heif_decode_image(c->handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr);
    if (e.code != heif_error_Ok || !image) {
        picture.error = message(e);
        return picture;
    }
    std::shared_ptr<heif_image> owned(image, [](heif_image* i) { heif_image_release(i); });
    int stride = 0;
    const std::uint8_t* pixels = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    const QSize size(heif_image_get_width(image, heif_channel_interleaved),
                     heif_image_get_height(image, heif_channel_interleaved));
    if (!pixels || size.isEmpty() || stride < 4 * size.width()) {
        picture.error = QStringLiteral("The picture could not be decoded.");
        return picture;
    }
    picture.size = size;
    picture.pixels = pixels;
    picture.stride = stride;
    picture.redFirst = true;
    picture.colours = coloursOf(c->handle);
    picture.owner = owned;
    return picture;
}

}  // namespace heif
