#include "viewer/JpegXlDecoder.h"

#include <jxl/decode.h>

#include <QPointF>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "viewer/ColourProfile.h"

namespace jpegxl {

namespace {

// libjxl keeps a few planes of 32-bit floats besides the 8-bit output.
constexpr std::size_t kBytesPerPixel = 16;

// Counts what libjxl takes and refuses past the limit, so that a file that
// declares little and asks for much fails instead of taking the machine.
struct Budget {
    std::atomic<std::size_t> used{0};
    std::size_t limit;

    static void* alloc(void* opaque, std::size_t size)
    {
        auto* b = static_cast<Budget*>(opaque);
        constexpr std::size_t kHeader = alignof(std::max_align_t);
        if (size > b->limit || b->used.fetch_add(size) + size > b->limit) {
            if (size <= b->limit)
                b->used.fetch_sub(size);
            return nullptr;
        }
        auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
        if (!block) {
            b->used.fetch_sub(size);
            return nullptr;
        }
        *reinterpret_cast<std::size_t*>(block) = size;
        return block + kHeader;
    }
    static void release(void* opaque, void* address)
    {
        if (!address)
            return;
        constexpr std::size_t kHeader = alignof(std::max_align_t);
        auto* block = static_cast<unsigned char*>(address) - kHeader;
        static_cast<Budget*>(opaque)->used.fetch_sub(*reinterpret_cast<std::size_t*>(block));
        std::free(block);
    }
};

QColorSpace::TransferFunction transferOf(const JxlColorEncoding& c, float& gamma, bool& known)
{
    known = true;
    gamma = 0;
    switch (c.transfer_function) {
    case JXL_TRANSFER_FUNCTION_SRGB:
    case JXL_TRANSFER_FUNCTION_709:  // close to sRGB's on a screen
        return QColorSpace::TransferFunction::SRgb;
    case JXL_TRANSFER_FUNCTION_LINEAR:
        return QColorSpace::TransferFunction::Linear;
    case JXL_TRANSFER_FUNCTION_GAMMA:
        if (c.gamma > 0 && c.gamma <= 1) {
            gamma = static_cast<float>(1 / c.gamma);
            return QColorSpace::TransferFunction::Gamma;
        }
        break;
    default:
        break;
    }
    known = false;  // unknown, or high dynamic range (PQ, HLG)
    return QColorSpace::TransferFunction::SRgb;
}

QColorSpace coloursOf(const JxlDecoder* dec)
{
    JxlColorEncoding encoding{};
    if (JxlDecoderGetColorAsEncodedProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) ==
        JXL_DEC_SUCCESS) {
        if (encoding.color_space != JXL_COLOR_SPACE_RGB)
            return {};
        float gamma = 0;
        bool known = false;
        const QColorSpace::TransferFunction transfer = transferOf(encoding, gamma, known);
        if (!known)
            return {};
        const QColorSpace space(QPointF(encoding.white_point_xy[0], encoding.white_point_xy[1]),
                                QPointF(encoding.primaries_red_xy[0], encoding.primaries_red_xy[1]),
                                QPointF(encoding.primaries_green_xy[0], encoding.primaries_green_xy[1]),
                                QPointF(encoding.primaries_blue_xy[0], encoding.primaries_blue_xy[1]), transfer, gamma);
        return space.isValid() ? space : QColorSpace();
    }
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS || !size ||
        size > (1u << 24))
        return {};
    QByteArray icc(static_cast<qsizetype>(size), '\0');
    if (JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<std::uint8_t*>(icc.data()), size) != JXL_DEC_SUCCESS)
        return {};
    return colourSpaceFromIcc(icc);
}

struct Decoding {
    Budget budget;
    JxlMemoryManager manager{};
    JxlDecoder* dec = nullptr;
    std::vector<unsigned char> pixels;

    explicit Decoding(std::size_t limit)
    {
        budget.limit = limit;
        manager.opaque = &budget;
        manager.alloc = Budget::alloc;
        manager.free = Budget::release;
        dec = JxlDecoderCreate(&manager);
    }
    ~Decoding()
    {
        if (dec)
            JxlDecoderDestroy(dec);
    }
};

}  // namespace

bool looksLike(const QByteArray& start)
{
    const JxlSignature s = JxlSignatureCheck(reinterpret_cast<const std::uint8_t*>(start.constData()),
                                             static_cast<std::size_t>(start.size()));
    return s == JXL_SIG_CODESTREAM || s == JXL_SIG_CONTAINER;
}

WholePicture decode(const QByteArray& file, std::size_t memoryLimit)
{
    WholePicture picture;
    auto d = std::make_shared<Decoding>(memoryLimit);
    auto fail = [&](const char* why) {
        picture.size = {};
        picture.error = QString::fromUtf8(why);
        return picture;
    };
    if (!d->dec)
        return fail("There is not enough memory for the picture.");
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (JxlDecoderSubscribeEvents(d->dec, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(d->dec, reinterpret_cast<const std::uint8_t*>(file.constData()),
                           static_cast<std::size_t>(file.size())) != JXL_DEC_SUCCESS)
        return fail("The picture could not be decoded.");
    JxlDecoderCloseInput(d->dec);
    for (;;) {
        switch (JxlDecoderProcessInput(d->dec)) {
        case JXL_DEC_BASIC_INFO: {
            JxlBasicInfo info{};
            if (JxlDecoderGetBasicInfo(d->dec, &info) != JXL_DEC_SUCCESS)
                return fail("The picture could not be decoded.");
            if (info.xsize == 0 || info.ysize == 0)
                return fail("The picture has no size.");
            if (std::size_t(info.xsize) * info.ysize > memoryLimit / kBytesPerPixel)
                return fail("The picture is too large to decode.");
            // The orientations past 4 turn the picture a quarter.
            picture.size = info.orientation > 4 ? QSize(int(info.ysize), int(info.xsize))
                                                : QSize(int(info.xsize), int(info.ysize));
            break;
        }
        case JXL_DEC_COLOR_ENCODING:
            picture.colours = coloursOf(d->dec);
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            std::size_t bytes = 0;
            if (JxlDecoderImageOutBufferSize(d->dec, &format, &bytes) != JXL_DEC_SUCCESS ||
                bytes != std::size_t(picture.size.width()) * picture.size.height() * 4)
                return fail("The picture could not be decoded.");
            try {
                d->pixels.resize(bytes);
            } catch (const std::bad_alloc&) {
                return fail("There is not enough memory for the picture.");
            }
            if (JxlDecoderSetImageOutBuffer(d->dec, &format, d->pixels.data(), bytes) != JXL_DEC_SUCCESS)
                return fail("The picture could not be decoded.");
            break;
        }
        case JXL_DEC_FULL_IMAGE:
        case JXL_DEC_SUCCESS:
            // The first frame is the picture; an animation's others are not shown.
            if (d->pixels.empty())
                return fail("The picture could not be decoded.");
            picture.pixels = d->pixels.data();
            picture.stride = std::ptrdiff_t(picture.size.width()) * 4;
            picture.redFirst = true;
            picture.owner = d;
            return picture;
        case JXL_DEC_NEED_MORE_INPUT:
            return fail("The picture file ends early.");
        default:
            return fail("The picture could not be decoded.");
        }
    }
}

}  // namespace jpegxl
