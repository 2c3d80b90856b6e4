#include "viewer/JpegDecoder.h"

#include <QIODevice>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "viewer/PackedCoefficients.h"

namespace {

constexpr qint64 kReadChunk = 16 * 1024;
// Rows decoded before they are handed on: up to this many, in up to this much memory.
constexpr std::size_t kStripRows = 32, kStripBytes = 256 * 1024;
// Each scan of a progressive file goes over every block of the picture, and a
// few bytes can start another: a small file of many thousands of scans keeps
// the decoder busy for seconds. Encoders write a dozen or so.
constexpr int kScanLimit = 1000;

// RGB32 is 0xffRRGGBB in the machine's own byte order.
constexpr J_COLOR_SPACE kRgb32 = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRX : JCS_EXT_XRGB;

// The coefficient arrays libjpeg makes, as it sizes them, for a file it
// cannot decode a few rows at a time.
std::size_t coefficientBytes(jpeg_decompress_struct& cinfo)
{
    if (!jpeg_has_multiple_scans(&cinfo))
        return 0;
    const auto roundUp = [](std::size_t n, int to) {
        const auto step = static_cast<std::size_t>(to);
        return (n + step - 1) / step * step;
    };
    std::size_t total = 0;
    for (int i = 0; i < cinfo.num_components; ++i) {
        const jpeg_component_info& c = cinfo.comp_info[i];
        total += roundUp(c.width_in_blocks, c.h_samp_factor) * roundUp(c.height_in_blocks, c.v_samp_factor) *
                 sizeof(JBLOCK);
    }
    return total;
}

}  // namespace

struct JpegDecoder::State {
    State(QIODevice& device, const std::atomic<bool>* stop, std::size_t memoryLimit)
        : device(device), stop(stop), memoryLimit(memoryLimit)
    {
    }

    // libjpeg reports a fatal error by calling error_exit, which must not
    // return: it jumps back into `guarded`, which then returns false. So the
    // work given to `guarded` holds nothing that needs destroying.
    template <typename Work>
    bool guarded(Work&& work)
    {
        if (setjmp(back))
            return false;
        work();
        return true;
    }

    [[noreturn]] void fail(const char* why)
    {
        std::snprintf(message, sizeof message, "%s", why);
        std::longjmp(back, 1);
    }

    void stopIfUnwanted()
    {
        if (stop && stop->load(std::memory_order_relaxed))
            fail("The picture is no longer wanted.");
    }

    static State& of(j_common_ptr cinfo) { return *static_cast<State*>(cinfo->client_data); }
    static State& of(j_decompress_ptr cinfo) { return *static_cast<State*>(cinfo->client_data); }

    static void errorExit(j_common_ptr cinfo)
    {
        State& s = of(cinfo);
        // Past the memory limit libjpeg would spill to disk, which it is not built for.
        if (cinfo->err->msg_code == JERR_NO_BACKING_STORE)
            std::snprintf(s.message, sizeof s.message, "The picture is too large to decode.");
        else
            cinfo->err->format_message(cinfo, s.message);
        std::longjmp(s.back, 1);
    }
    // Warnings (corrupt data, a file that ends early) are not worth a line on
    // the terminal for every picture shown.
    static void quiet(j_common_ptr) {}

    // A file of many scans keeps every block's coefficients until its last
    // scan: they are kept packed (PackedCoefficients) rather than as libjpeg
    // holds them. libjpeg's own methods go on for everything else.
    void packCoefficients()
    {
        library = *cinfo.mem;
        cinfo.mem->request_virt_barray = requestBlocks;
        cinfo.mem->realize_virt_arrays = realizeArrays;
        cinfo.mem->access_virt_barray = accessBlocks;
        cinfo.mem->free_pool = freePool;
    }
    // Rows never written read as zeros, as libjpeg's pre-zeroed arrays do.
    static jvirt_barray_ptr requestBlocks(j_common_ptr cinfo, int pool, boolean, JDIMENSION blocksPerRow,
                                          JDIMENSION rows, JDIMENSION maxAccess)
    {
        State& s = of(cinfo);
        if (pool != JPOOL_IMAGE)
            s.fail("The picture could not be decoded.");
        const jvirt_barray_ptr array = s.coefficients.request(blocksPerRow, rows, maxAccess);
        if (!array)
            s.fail("There is not enough memory for the picture.");
        return array;
    }
    static void realizeArrays(j_common_ptr cinfo)
    {
        State& s = of(cinfo);
        // The limit holds for what the picture could take unpacked: how well
        // it packs is known only once it is read.
        if (s.coefficients.unpackedBytes() > s.memoryLimit)
            s.fail("The picture is too large to decode.");
        s.library.realize_virt_arrays(cinfo);
    }
    static JBLOCKARRAY accessBlocks(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION first, JDIMENSION count,
                                    boolean writable)
    {
        State& s = of(cinfo);
        const JBLOCKARRAY rows = s.coefficients.access(array, first, count, writable);
        if (!rows)
            s.fail("There is not enough memory for the picture.");
        return rows;
    }
    static void freePool(j_common_ptr cinfo, int pool)
    {
        State& s = of(cinfo);
        if (pool == JPOOL_IMAGE)
            s.coefficients.clear();
        s.library.free_pool(cinfo, pool);
    }

    static void noop(j_decompress_ptr) {}
    static boolean fill(j_decompress_ptr cinfo)
    {
        State& s = of(cinfo);
        s.stopIfUnwanted();
        qint64 got = s.device.read(reinterpret_cast<char*>(s.buffer), kReadChunk);
        if (got < 0) {
            {
                const QByteArray why = s.device.errorString().toLocal8Bit();
                std::snprintf(s.message, sizeof s.message, "%s", why.constData());
            }
            std::longjmp(s.back, 1);
        }
        if (got == 0) {
            // The file ends early: an end marker lets libjpeg finish the picture
            // with what it has, as its own file reader does.
            WARNMS(cinfo, JWRN_JPEG_EOF);
            s.buffer[0] = 0xFF;
            s.buffer[1] = JPEG_EOI;
            got = 2;
        }
        s.source.next_input_byte = s.buffer;
        s.source.bytes_in_buffer = static_cast<std::size_t>(got);
        return TRUE;
    }
    static void skip(j_decompress_ptr cinfo, long count)
    {
        State& s = of(cinfo);
        while (count > static_cast<long>(s.source.bytes_in_buffer)) {
            count -= static_cast<long>(s.source.bytes_in_buffer);
            fill(cinfo);
        }
        if (count > 0) {
            s.source.next_input_byte += count;
            s.source.bytes_in_buffer -= static_cast<std::size_t>(count);
        }
    }
    static void progressed(j_common_ptr common)
    {
        State& s = of(common);
        s.stopIfUnwanted();
        if (s.cinfo.input_scan_number > kScanLimit)
            s.fail("The picture has too many scans.");
    }

    // Decodes at the scale set; `rowsAt(first, count)` gives where to put the
    // next rows, and `done(n)` (if given) is told n rows are there.
    template <typename RowsAt, typename Done>
    bool decode(QSize expected, RowsAt&& rowsAt, Done&& done)
    {
        cinfo.out_color_space = kRgb32;
        const bool decoded = guarded([&] {
            jpeg_start_decompress(&cinfo);
            if (expected.isValid() && (cinfo.output_width != static_cast<unsigned>(expected.width()) ||
                                       cinfo.output_height != static_cast<unsigned>(expected.height())))
                fail("The picture's size is not the one expected.");
            while (cinfo.output_scanline < cinfo.output_height) {
                stopIfUnwanted();
                // libjpeg hands out this many rows at a time at most.
                const JDIMENSION count = std::min<JDIMENSION>(cinfo.output_height - cinfo.output_scanline,
                                                              std::max(1, cinfo.rec_outbuf_height));
                const JDIMENSION got = jpeg_read_scanlines(&cinfo, rowsAt(cinfo.output_scanline, count), count);
                if constexpr (!std::is_same_v<std::decay_t<Done>, std::nullptr_t>)
                    done(got);
            }
        });
        if (!decoded) {
            error = QString::fromLocal8Bit(message);
            return false;
        }
        // The rest of the file (to the end marker) is not needed.
        jpeg_abort_decompress(&cinfo);
        return true;
    }

    QIODevice& device;
    const std::atomic<bool>* stop;
    std::size_t memoryLimit;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr errors{};
    jpeg_source_mgr source{};
    jpeg_progress_mgr progress{};
    jpeg_memory_mgr library{};
    PackedCoefficients coefficients;
    std::jmp_buf back{};
    char message[JMSG_LENGTH_MAX] = {};
    bool created = false, headerRead = false;
    int orientation = 1;
    bool exifAdobeRgb = false;
    QByteArray icc;
    std::size_t wholePictureBytes = 0;
    QString error;
    unsigned char buffer[kReadChunk];
};

JpegDecoder::JpegDecoder(QIODevice& device, const std::atomic<bool>* stop, std::size_t memoryLimit)
    : d_(std::make_unique<State>(device, stop, memoryLimit))
{
}

JpegDecoder::~JpegDecoder()
{
    if (d_->created)
        jpeg_destroy_decompress(&d_->cinfo);
}

const QString& JpegDecoder::error() const { return d_->error; }

QSize JpegDecoder::size() const
{
    return d_->headerRead ? QSize(static_cast<int>(d_->cinfo.image_width), static_cast<int>(d_->cinfo.image_height))
                          : QSize();
}

int JpegDecoder::orientation() const { return d_->orientation; }

const QByteArray& JpegDecoder::iccProfile() const { return d_->icc; }

bool JpegDecoder::exifAdobeRgb() const { return d_->exifAdobeRgb; }

std::size_t JpegDecoder::wholePictureBytes() const { return d_->wholePictureBytes; }

bool JpegDecoder::readHeader()
{
    State& s = *d_;
    if (s.device.peek(2) != QByteArrayLiteral("\xFF\xD8"))
        return false;

    s.cinfo.err = jpeg_std_error(&s.errors);
    s.errors.error_exit = State::errorExit;
    s.errors.output_message = State::quiet;
    s.cinfo.client_data = &s;
    s.source.init_source = State::noop;
    s.source.fill_input_buffer = State::fill;
    s.source.skip_input_data = State::skip;
    s.source.resync_to_restart = jpeg_resync_to_restart;
    s.source.term_source = State::noop;
    s.progress.progress_monitor = State::progressed;
    const bool read = s.guarded([&] {
        jpeg_create_decompress(&s.cinfo);
        s.created = true;
        s.packCoefficients();
        // Checked before the whole picture's coefficients are taken, whatever
        // anyone concluded from the headers (realizeArrays); libjpeg checks it
        // for any array of its own. 0 would mean no limit there.
        s.cinfo.mem->max_memory_to_use = static_cast<long>(std::clamp<std::size_t>(s.memoryLimit, 1, LONG_MAX));
        s.cinfo.src = &s.source;
        s.cinfo.progress = &s.progress;
        jpeg_save_markers(&s.cinfo, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(&s.cinfo, JPEG_APP0 + 2, 0xFFFF);
        jpeg_read_header(&s.cinfo, TRUE);
        s.wholePictureBytes = coefficientBytes(s.cinfo);
    });
    if (!read) {
        s.error = QString::fromLocal8Bit(s.message);
        return false;
    }
    if (s.cinfo.jpeg_color_space == JCS_CMYK || s.cinfo.jpeg_color_space == JCS_YCCK)
        return false;
    for (jpeg_saved_marker_ptr m = s.cinfo.marker_list; m; m = m->next)
        if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
            s.orientation = exifOrientation(m->data, m->data_length);
            s.exifAdobeRgb = exifMarksAdobeRgb(m->data, m->data_length);
            break;
        }
    JOCTET* icc = nullptr;
    unsigned iccLength = 0;
    // False, with nothing to free, when the chunks are missing, repeated or out of order.
    bool found = false;
    if (s.guarded([&] { found = jpeg_read_icc_profile(&s.cinfo, &icc, &iccLength); }) && found) {
        s.icc = QByteArray(reinterpret_cast<const char*>(icc), static_cast<qsizetype>(iccLength));
        std::free(icc);
    }
    s.headerRead = true;
    return true;
}

QSize JpegDecoder::scaleFor(QSize atLeast)
{
    State& s = *d_;
    if (!s.headerRead)
        return {};
    jpeg_decompress_struct& cinfo = s.cinfo;
    auto outputAt = [&](unsigned eighths) {
        cinfo.scale_num = eighths;
        cinfo.scale_denom = 8;
        return s.guarded([&] { jpeg_calc_output_dimensions(&cinfo); });
    };
    unsigned eighths = 1;
    for (; eighths < 8; ++eighths) {
        if (!outputAt(eighths))
            break;
        if (cinfo.output_width >= static_cast<unsigned>(atLeast.width()) &&
            cinfo.output_height >= static_cast<unsigned>(atLeast.height()))
            break;
    }
    if (!outputAt(eighths)) {
        s.error = QString::fromLocal8Bit(s.message);
        return {};
    }
    return {static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height)};
}

bool JpegDecoder::decodeInto(QImage& image)
{
    std::vector<JSAMPROW> rows(static_cast<std::size_t>(image.height()));
    for (int y = 0; y < image.height(); ++y)
        rows[static_cast<std::size_t>(y)] = image.scanLine(y);
    return d_->decode(image.size(), [&](JDIMENSION from, JDIMENSION) { return rows.data() + from; }, nullptr);
}

bool JpegDecoder::decode(const std::function<void(const std::uint32_t* row)>& row)
{
    State& s = *d_;
    if (!s.headerRead)
        return false;
    // Rows are handed on a strip at a time rather than as libjpeg gives them
    // (a row or two), so that the caller's work on them is not slowed by
    // libjpeg's own pushing everything else out of the processor's caches.
    // The strip is made when the first rows are asked for, once libjpeg has
    // said how many rows it gives at most.
    std::vector<std::uint32_t> strip;
    std::vector<JSAMPROW> rows;
    std::size_t width = 0, filled = 0;
    auto handOn = [&] {
        for (std::size_t i = 0; i < filled; ++i)
            row(&strip[i * width]);
        filled = 0;
    };
    return s.decode(
        {},
        [&](JDIMENSION, JDIMENSION count) {
            if (rows.empty()) {
                width = s.cinfo.output_width;
                const std::size_t fit = kStripBytes / (4 * std::max<std::size_t>(width, 1));
                rows.resize(std::max<std::size_t>(count, std::min<std::size_t>(fit, kStripRows)));
                strip.resize(width * rows.size());
                for (std::size_t i = 0; i < rows.size(); ++i)
                    rows[i] = reinterpret_cast<JSAMPROW>(&strip[i * width]);
            }
            if (filled + count > rows.size())
                handOn();
            return rows.data() + filled;
        },
        [&](JDIMENSION count) {
            filled += count;
            if (s.cinfo.output_scanline >= s.cinfo.output_height)
                handOn();
        });
}

namespace {

// An EXIF block: "Exif\0\0", then a TIFF file: byte order, 42, the first
// folder's offset; a folder is a count and 12-byte entries of tag, type, count
// and value (or where the value is, when it takes more than 4 bytes).
class ExifReader {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    static constexpr unsigned kShort = 3, kLong = 4, kAscii = 2, kFolder = 13;

    ExifReader(const unsigned char* data, std::size_t size)
    {
        constexpr std::size_t kSignature = 6;
        if (size < kSignature + 8 || std::memcmp(data, "Exif\0\0", kSignature) != 0)
            return;
        tiff_ = data + kSignature;
        length_ = size - kSignature;
        if (tiff_[0] == 'I' && tiff_[1] == 'I')
            little_ = true;
        else if (!(tiff_[0] == 'M' && tiff_[1] == 'M'))
            tiff_ = nullptr;
        if (tiff_ && u16(2) != 42)
            tiff_ = nullptr;
    }

    bool ok() const { return tiff_ != nullptr; }
    unsigned u16(std::size_t at) const
    {
        return little_ ? tiff_[at] | tiff_[at + 1] << 8 : tiff_[at] << 8 | tiff_[at + 1];
    }
    std::size_t u32(std::size_t at) const
    {
        return little_ ? u16(at) | std::size_t(u16(at + 2)) << 16 : std::size_t(u16(at)) << 16 | u16(at + 2);
    }
    std::size_t firstFolder() const { return u32(4); }

    // Where the entry for `tag` is in the folder at `folder`: kNone when the
    // folder has none or runs past the block.
    std::size_t entry(std::size_t folder, unsigned tag) const
    {
        if (folder == kNone || folder > length_ - 2)
            return kNone;
        const unsigned entries = u16(folder);
        for (unsigned i = 0; i < entries; ++i) {
            const std::size_t at = folder + 2 + 12 * std::size_t(i);
            if (at + 12 > length_)
                return kNone;
            if (u16(at) == tag)
                return at;
        }
        return kNone;
    }

    // The folder an entry points to (a single offset), or kNone.
    std::size_t folderAt(std::size_t at) const
    {
        if (at == kNone || (u16(at + 2) != kLong && u16(at + 2) != kFolder) || u32(at + 4) != 1)
            return kNone;
        return u32(at + 8);
    }

private:
    const unsigned char* tiff_ = nullptr;
    std::size_t length_ = 0;
    bool little_ = false;
};

}  // namespace

int exifOrientation(const unsigned char* data, std::size_t size)
{
    const ExifReader exif(data, size);
    if (!exif.ok())
        return 1;
    const std::size_t at = exif.entry(exif.firstFolder(), 0x0112);
    if (at == ExifReader::kNone)
        return 1;
    const unsigned value = exif.u16(at + 8);
    return exif.u16(at + 2) == ExifReader::kShort && exif.u32(at + 4) == 1 && value >= 1 && value <= 8
               ? static_cast<int>(value)
               : 1;
}

bool exifMarksAdobeRgb(const unsigned char* data, std::size_t size)
{
    constexpr unsigned kExifFolder = 0x8769, kColourSpace = 0xA001, kInteropFolder = 0xA005, kInteropIndex = 0x0001;
    constexpr unsigned kUncalibrated = 0xFFFF;
    const ExifReader exif(data, size);
    if (!exif.ok())
        return false;
    const std::size_t folder = exif.folderAt(exif.entry(exif.firstFolder(), kExifFolder));
    const std::size_t space = exif.entry(folder, kColourSpace);
    if (space == ExifReader::kNone || exif.u16(space + 2) != ExifReader::kShort || exif.u16(space + 8) != kUncalibrated)
        return false;
    const std::size_t index = exif.entry(exif.folderAt(exif.entry(folder, kInteropFolder)), kInteropIndex);
    // "R03" and its NUL fit in the entry itself.
    return index != ExifReader::kNone && exif.u16(index + 2) == ExifReader::kAscii && exif.u32(index + 4) == 4 &&
           std::memcmp(data + 6 + index + 8, "R03", 4) == 0;
}
