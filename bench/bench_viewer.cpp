// The viewer's picture loading and stepping on photo-like JPEGs (plasma,
// quality 90, 4:2:0 like a camera's): 24 MP baseline, 24 MP progressive,
// 12 MP and 2 MP, for a 1920 x 1080 screen. Measured in one run, interleaved,
// over the rounds, each with its spread (min, median, max):
//   (a) libjpeg-turbo decoding the whole file at the DCT scale the loader
//       picks for it (with the loader's DCT method and output colours), and
//       at 1/8, the least work any decode of the file can do; both in this
//       process, as djpeg decodes but without its process start or output
//   (b) the viewer's picture loading to its fitted size, timed the same way,
//       its pixels in memory used again as the program's preparer has them
//   (c) Down key to the new picture handed to the window, when it was prepared,
//       and to the picture painted, that is on the screen: the window repainted
//       and the display server done drawing what it sent; beside it the floor,
//       one repaint of the same fitted picture in the same window (its picture
//       box marked for repainting as a step marks it, then the window
//       repainted, and the server done), timed the same way, before the press
//       that leaves it. Then the
//       same steps through the event loop, as the program runs them: whether
//       a decode of a neighbour began on the worker before the step's paint
//       (painting and flushing the window) had ended
// and the memory: a prepared picture's size, pictures held and memory kept
// for the screen, peak resident size.
// The loader's scale is seen, not assumed: this program stands in for
// libjpeg's jpeg_start_decompress, so the image plugin's call passes here.
//
// With "burst" first, it measures instead a held Down key on 24 MP photos:
// from a picture just shown, Down is pressed every 40 ms, 20 times, onto
// pictures not prepared yet, and it reports (a) how long after the last press
// the 21st picture is painted, against one decode of such a photo, and (b) the
// longest time the window did not answer: every 2 ms another thread posts an
// event to the window thread, and the longest wait for one to be handled is
// the longest time a paint or an Escape would have waited.
//
// With "types" first, it measures instead (a) the colour conversion: loading a
// 24 MP Display P3 JPEG (the baseline photo with a profile) against the same
// photo without one, and (b) each other picture type (12 MP, made from the
// same photo by its own encoder) loaded to its fitted size against its
// library's own decode of the file, at the size that library decodes it.
//
// Usage: bench_viewer [burst|types] [ROUNDS [PICTURES]]   (default 7 rounds, build/bench-pictures)
// The pictures are made once with ImageMagick and jpegtran and kept in PICTURES.
// (c) uses the screen the program runs on; for the 1920 x 1080 figures run it as
//   MARBLEGLEN_SCREEN=1920x1080x24 scripts/with-xserver build/bin/bench_viewer
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <functional>

#include <dlfcn.h>
#include <sys/resource.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jxl/decode.h>
#include <libheif/heif.h>

#include <QColorSpace>
#include <QImageReader>

#include "bench/Spread.h"
#include "app/ImageListBox.h"
#include "program/Program.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "viewer/PictureBox.h"
#include "viewer/PictureLoader.h"
#include "viewer/PicturePreparer.h"
#include "viewer/PixelMemory.h"
#include "viewer/fImage.h"

#include <X11/Xlib.h>
#undef KeyPress  // Xlib's, which would hide QEvent's
#undef KeyRelease

namespace {
using Clock = std::chrono::steady_clock;
// What the last decode asked libjpeg for.
struct DecodeSettings {
    unsigned num = 0, denom = 0;
    J_DCT_METHOD dct = JDCT_ISLOW;
    J_COLOR_SPACE colours = JCS_RGB;
    boolean fancy = TRUE;
};
DecodeSettings lastDecode;
// When the first decode since it was cleared began on a thread other than the
// window's (its header read is the first thing a decode does with libjpeg).
std::atomic<Clock::rep> workerDecodeBegan{0};
std::thread::id windowThread;
}  // namespace

extern "C" int jpeg_read_header(j_decompress_ptr cinfo, boolean image)
{
    static const auto real = reinterpret_cast<int (*)(j_decompress_ptr, boolean)>(dlsym(RTLD_NEXT, "jpeg_read_header"));
    if (std::this_thread::get_id() != windowThread) {
        Clock::rep none = 0;
        workerDecodeBegan.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
    }
    return real(cinfo, image);
}

extern "C" boolean jpeg_start_decompress(j_decompress_ptr cinfo)
{
    static const auto real = reinterpret_cast<boolean (*)(j_decompress_ptr)>(dlsym(RTLD_NEXT, "jpeg_start_decompress"));
    lastDecode = {cinfo->scale_num, cinfo->scale_denom, cinfo->dct_method, cinfo->out_color_space,
                  cinfo->do_fancy_upsampling};
    return real(cinfo);
}

namespace {

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

struct Sample {
    const char* name;
    const char* file;
    const char* make;  // shell command run in the pictures folder when the file is missing
};

const Sample kSamples[] = {
    {"24 MP baseline", "base24.jpg",
     "convert -size 6000x4000 plasma: -sampling-factor 4:2:0 -quality 90 base24.jpg"},
    {"24 MP progressive", "prog24.jpg", "jpegtran -progressive -copy none base24.jpg > prog24.jpg"},
    {"12 MP", "mp12.jpg", "convert base24.jpg -resize 4000x3000! -sampling-factor 4:2:0 -quality 90 mp12.jpg"},
    {"2 MP", "mp2.jpg", "convert base24.jpg -resize 1600x1200! -sampling-factor 4:2:0 -quality 90 mp2.jpg"},
};
constexpr int kCount = std::size(kSamples);

// Makes one picture of the folder by its shell command, unless it is there.
bool makePicture(const QString& folder, const char* file, const char* make)
{
    if (QFile::exists(folder + "/" + file))
        return true;
    std::printf("making %s (once) ...\n", file);
    std::fflush(stdout);
    QProcess shell;
    shell.setWorkingDirectory(folder);
    shell.start("sh", {"-c", make});
    if (!shell.waitForFinished(-1) || shell.exitCode() != 0) {
        std::fprintf(stderr, "could not make %s: %s\n", file, shell.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool makePictures(const QString& folder)
{
    QDir().mkpath(folder);
    for (const Sample& s : kSamples)
        if (!makePicture(folder, s.file, s.make))
            return false;
    return true;
}

double cpuNowMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Processor time of the calling thread: a paint's own work, whatever else
// the machine runs.
double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Timing {
    double wall = -1, cpu = -1;
};

Timing timed(const std::function<bool()>& run)
{
    const double cpu = cpuNowMs();
    const Clock::time_point start = Clock::now();
    if (!run())
        return {};
    return {msSince(start), cpuNowMs() - cpu};
}

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf back;
};

// Decodes the whole file with libjpeg-turbo at scale/8 as `like` asked, every
// line read into one row and dropped: what djpeg does, without its output.
bool decodeAtScale(const QByteArray& path, unsigned eighths, const DecodeSettings& like)
{
    std::FILE* file = std::fopen(path.constData(), "rb");
    if (!file)
        return false;
    jpeg_decompress_struct cinfo{};
    JpegError error{};
    cinfo.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError*>(c->err)->back, 1); };
    std::vector<unsigned char> row;
    if (setjmp(error.back)) {
        jpeg_destroy_decompress(&cinfo);
        std::fclose(file);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = eighths;
    cinfo.scale_denom = 8;
    cinfo.dct_method = like.dct;
    cinfo.out_color_space = like.colours;
    cinfo.do_fancy_upsampling = like.fancy;
    jpeg_start_decompress(&cinfo);
    row.resize(static_cast<std::size_t>(cinfo.output_width) * static_cast<std::size_t>(cinfo.output_components));
    JSAMPROW rows[1] = {row.data()};
    while (cinfo.output_scanline < cinfo.output_height)
        jpeg_read_scanlines(&cinfo, rows, 1);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
    return true;
}

void pressDown(fImage& viewer)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(&viewer, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(&viewer, &release);
}

// Until the display server is done with the last paint and the window has
// heard so, so that each paint starts from the same state. Nothing else is
// queued then: the neighbours were prepared before.
void settleDisplay()
{
    QGuiApplication::sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QCoreApplication::processEvents();
}

// Until the display server has drawn everything the window sent. The window
// hands over its last paint as a shared-memory picture to copy and goes on;
// the screen changes only when the server has copied it. Timing a paint only
// until repaint() returns leaves that copy out, or puts it in when the
// server, woken on the window's own processor, runs first: a scheduler's
// choice, which made a paint take 1.5 or 2.4 ms for the same work.
void untilOnScreen()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 && x11->display())
        XSync(x11->display(), False);
}

bool waitPrepared(fImage& viewer, const QByteArray& a, const QByteArray& b)
{
    QElapsedTimer timer;
    timer.start();
    while (!(viewer.IsPrepared(a) && viewer.IsPrepared(b))) {
        if (timer.elapsed() > 30000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}


// Notes when the viewer window last ended an update request: painting what
// was marked for repainting and flushing it to the screen.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    QObject* window = nullptr;
    Clock::time_point updated{};

    bool notify(QObject* receiver, QEvent* e) override
    {
        const bool update = e->type() == QEvent::UpdateRequest && receiver == window;
        const bool handled = QApplication::notify(receiver, e);
        if (update)
            updated = Clock::now();
        return handled;
    }
};

constexpr int kPresses = 20;
constexpr std::chrono::milliseconds kPressEvery{40}, kPingEvery{2};

// An event posted from another thread, answered on the window thread.
class Ping : public QEvent {
public:
    static QEvent::Type type()
    {
        static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
        return t;
    }
    explicit Ping(Clock::time_point sent) : QEvent(type()), sent(sent) {}
    Clock::time_point sent;
};

// Receives the pings on the window thread and notes paints of the picture.
class Watch : public QObject {
public:
    double longestWaitMs = 0;
    bool measuring = false;
    QByteArray target;  // the picture whose paint ends the burst
    std::atomic<bool> lastPressHandled{false};
    Clock::time_point painted{};

    bool event(QEvent* e) override
    {
        if (e->type() != Ping::type())
            return QObject::event(e);
        if (measuring)
            longestWaitMs = std::max(longestWaitMs, msSince(static_cast<Ping*>(e)->sent));
        return true;
    }

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        const fImage* viewer = forms::existingFImage();
        if (e->type() == QEvent::Paint && lastPressHandled && painted == Clock::time_point{} && viewer
            && viewer->CurrentImagePath() == target && static_cast<QWidget*>(watched)->isVisible())
            painted = Clock::now();
        return false;
    }
};

// Decoding one of the burst's photos for the screen: the time to compare with.
std::vector<double> decodeTimes(const QByteArray& path, QSize screen, int rounds)
{
    std::vector<double> ms;
    PixelMemory memory;
    for (int r = 0; r < rounds; ++r) {
        const Clock::time_point start = Clock::now();
        loadPictureFile(path, screen, nullptr, &memory);
        ms.push_back(msSince(start));
    }
    return ms;
}

int measureBurst(const QString& folder, int rounds)
{
    // Paths of their own for every round, so that no picture is prepared
    // before its round: links to the 24 MP baseline photo.
    const QByteArray photo = QFile::encodeName(QDir(folder).absoluteFilePath(kSamples[0].file));
    std::vector<std::vector<QByteArray>> roundPaths(static_cast<std::size_t>(rounds));
    for (int r = 0; r < rounds; ++r)
        for (int i = 0; i <= kPresses + 1; ++i) {
            const QByteArray p = QFile::encodeName(folder) + "/burst-" + QByteArray::number(r) + "-" +
                                 QByteArray::number(i) + ".jpg";
            if (access(p.constData(), F_OK) != 0 && link(photo.constData(), p.constData()) != 0) {
                std::perror(p.constData());
                return 1;
            }
            roundPaths[static_cast<std::size_t>(r)].push_back(p);
        }

    frmSearch& search = forms::frmSearch();
    Watch watch;
    std::vector<double> lastToPainted, longestWait;
    int exact = 0;
    QSize screen;
    for (int r = 0; r < rounds; ++r) {
        search.List1->Clear();
        for (const QByteArray& p : roundPaths[static_cast<std::size_t>(r)])
            search.List1->AddItem(p);
        search.List1->setSelected(0);
        search.Command2_Click();  // shown: the first picture
        fImage& viewer = forms::fImage();
        screen = viewer.ScreenPixels();
        viewer.Image1->installEventFilter(&watch);
        viewer.repaint();
        QCoreApplication::processEvents();

        watch.target = roundPaths[static_cast<std::size_t>(r)][kPresses];
        watch.lastPressHandled = false;
        watch.painted = {};
        watch.longestWaitMs = 0;
        watch.measuring = true;
        std::atomic<bool> stop{false};
        const Clock::time_point start = Clock::now();
        Clock::time_point lastPress{};
        // Presses come from another thread as a held key's repeats come from
        // the display server: on time, whatever the window thread is doing.
        std::thread presser([&] {
            for (int i = 0; i < kPresses; ++i) {
                std::this_thread::sleep_until(start + i * kPressEvery);
                if (i == kPresses - 1)
                    lastPress = Clock::now();
                QCoreApplication::postEvent(&viewer, new QKeyEvent(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier));
                QCoreApplication::postEvent(&viewer, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier));
            }
            // Handled once every event posted before it has been.
            QMetaObject::invokeMethod(&watch, [&] { watch.lastPressHandled = true; }, Qt::QueuedConnection);
        });
        std::thread pinger([&] {
            while (!stop) {
                QCoreApplication::postEvent(&watch, new Ping(Clock::now()));
                std::this_thread::sleep_for(kPingEvery);
            }
        });
        while (watch.painted == Clock::time_point{} && msSince(start) < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        watch.measuring = false;
        stop = true;
        presser.join();
        pinger.join();
        QCoreApplication::processEvents();
        if (watch.painted == Clock::time_point{}) {
            std::fprintf(stderr, "round %d: the last picture was never painted\n", r);
            return 1;
        }
        lastToPainted.push_back(std::chrono::duration<double, std::milli>(watch.painted - lastPress).count());
        longestWait.push_back(watch.longestWaitMs);
        exact += search.List1->ListIndex() == kPresses;
        viewer.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Program::running()->Preparer().WaitForWorkers();
    }
    const std::vector<double> decode = decodeTimes(roundPaths[0][0], screen, rounds);
    auto cell = [](const std::vector<double>& v) {
        const Spread s = spreadOf(v);
        char text[64];
        std::snprintf(text, sizeof text, "%7.1f [%6.1f-%6.1f]", s.median, s.min, s.max);
        return std::string(text);
    };
    std::printf("Down every %lld ms, %d times, on 24 MP photos not prepared yet; %d rounds on a %dx%d screen\n",
                static_cast<long long>(kPressEvery.count()), kPresses, rounds, screen.width(), screen.height());
    std::printf("median [min-max] in ms\n");
    std::printf("  one decode of such a photo, fitted         %s\n", cell(decode).c_str());
    std::printf("  (a) last press to the 21st picture painted %s   %.2f decodes\n", cell(lastToPainted).c_str(),
                spreadOf(lastToPainted).median / spreadOf(decode).median);
    std::printf("  (b) longest the window did not answer      %s\n", cell(longestWait).c_str());
    std::printf("  the 21st picture shown at the end: %d of %d rounds\n", exact, rounds);
    return 0;
}
}  // namespace

// The colour profile and the other types.

struct TypeSample {
    const char* name;
    const char* file;
    const char* make;  // shell command run in the pictures folder when the file is missing
    enum Library { Qt, Heif, JpegXl } library;
};

const TypeSample kTypeSamples[] = {
    {"PNG 12 MP", "mp12.png", "convert mp12.jpg mp12.png", TypeSample::Qt},
    {"WebP 12 MP", "mp12.webp", "cwebp -quiet -q 90 mp12.jpg -o mp12.webp", TypeSample::Qt},
    {"HEIC 12 MP", "mp12.heic", "heif-enc -q 90 mp12.jpg -o mp12.heic", TypeSample::Heif},
    {"AVIF 12 MP", "mp12.avif", "heif-enc -A -q 80 -p speed=9 mp12.jpg -o mp12.avif", TypeSample::Heif},
    {"JPEG XL 12 MP", "mp12.jxl", "cjxl --quiet mp12.jpg mp12.jxl -j 0 -q 90 -e 3", TypeSample::JpegXl},
};

// The baseline photo with a Display P3 profile in an APP2 segment after its start.
bool makeP3Picture(const QString& folder)
{
    const QString target = folder + "/p3-24.jpg";
    if (QFile::exists(target))
        return true;
    QFile in(folder + "/base24.jpg"), out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    const QByteArray jpeg = in.readAll();
    const QByteArray icc = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    QByteArray segment("\xFF\xE2", 2);
    const int length = 2 + 14 + static_cast<int>(icc.size());
    segment += char(length >> 8);
    segment += char(length & 0xFF);
    segment += QByteArray("ICC_PROFILE\0\x01\x01", 14) + icc;
    return out.write(jpeg.left(2) + segment + jpeg.mid(2)) > 0;
}

bool makeTypePictures(const QString& folder)
{
    for (const TypeSample& s : kTypeSamples)
        if (!makePicture(folder, s.file, s.make))
            return false;
    return makeP3Picture(folder);
}

QByteArray fileBytes(const QByteArray& path)
{
    QFile f(QFile::decodeName(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// libheif's own decode of the primary picture to RGBA, the size it decodes at.
bool heifOwnDecode(const QByteArray& path)
{
    const QByteArray file = fileBytes(path);
    heif_context* context = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    const bool ok =
        heif_context_read_from_memory_without_copy(context, file.constData(), static_cast<size_t>(file.size()), nullptr)
                .code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok &&
        heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code ==
            heif_error_Ok;
    if (image)
        heif_image_release(image);
    if (handle)
        heif_image_handle_release(handle);
    heif_context_free(context);
    return ok;
}

// libjxl's own decode of the whole picture to RGBA, as djxl does it without a thread pool.
bool jpegXlOwnDecode(const QByteArray& path)
{
    const QByteArray file = fileBytes(path);
    JxlDecoder* dec = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(dec, JXL_DEC_FULL_IMAGE);
    JxlDecoderSetInput(dec, reinterpret_cast<const std::uint8_t*>(file.constData()), static_cast<size_t>(file.size()));
    JxlDecoderCloseInput(dec);
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    std::vector<std::uint8_t> pixels;
    bool ok = false;
    for (bool going = true; going;) {
        switch (JxlDecoderProcessInput(dec)) {
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            size_t bytes = 0;
            JxlDecoderImageOutBufferSize(dec, &format, &bytes);
            pixels.resize(bytes);
            JxlDecoderSetImageOutBuffer(dec, &format, pixels.data(), bytes);
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            ok = true;
            going = false;
            break;
        default:
            going = false;
            break;
        }
    }
    JxlDecoderDestroy(dec);
    return ok;
}

// Qt's own reading of the whole picture, the size its readers decode at.
bool qtOwnDecode(const QByteArray& path)
{
    QImageReader reader(QFile::decodeName(path));
    reader.setAllocationLimit(256);
    return !reader.read().isNull();
}

int measureTypes(const QString& folder, int rounds)
{
    if (!makeTypePictures(folder))
        return 1;
    const QSize fitTo(1920, 1080);
    PixelMemory memory;
    auto path = [&](const char* file) { return QFile::encodeName(QDir(folder).absoluteFilePath(file)); };
    auto load = [&](const QByteArray& p, QSize* shown = nullptr) {
        return timed([&] {
            const Picture picture = loadPictureFile(p, fitTo, nullptr, &memory);
            if (shown)
                *shown = picture.image.size();
            if (!picture.ok())
                std::fprintf(stderr, "%s: %s\n", p.constData(), qPrintable(picture.error));
            return picture.ok();
        });
    };
    // (a) interleaved: the photo with its profile, then without.
    std::vector<double> with, without, withCpu, withoutCpu;
    for (int r = 0; r < rounds; ++r) {
        const Timing w = load(path("p3-24.jpg")), o = load(path("base24.jpg"));
        with.push_back(w.wall);
        withCpu.push_back(w.cpu);
        without.push_back(o.wall);
        withoutCpu.push_back(o.cpu);
    }
    // (b) interleaved: each type's loading, then its library's own decode.
    constexpr int kTypes = std::size(kTypeSamples);
    std::vector<double> ours[kTypes], own[kTypes], oursCpu[kTypes], ownCpu[kTypes];
    QSize shown[kTypes];
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < kTypes; ++i) {
            const TypeSample& s = kTypeSamples[i];
            const QByteArray p = path(s.file);
            const Timing a = load(p, &shown[i]);
            const Timing b = timed([&] {
                switch (s.library) {
                case TypeSample::Heif: return heifOwnDecode(p);
                case TypeSample::JpegXl: return jpegXlOwnDecode(p);
                case TypeSample::Qt: return qtOwnDecode(p);
                }
                return false;
            });
            ours[i].push_back(a.wall);
            oursCpu[i].push_back(a.cpu);
            own[i].push_back(b.wall);
            ownCpu[i].push_back(b.cpu);
        }
    }
    auto cell = [](const std::vector<double>& v) {
        const Spread s = spreadOf(v);
        char text[64];
        std::snprintf(text, sizeof text, "%7.1f [%6.1f-%6.1f]", s.median, s.min, s.max);
        return std::string(text);
    };
    std::printf("%d rounds; loading fitted to %dx%d; each figure: median [min-max] in ms; ratios of medians\n", rounds,
                fitTo.width(), fitTo.height());
    for (const bool cpu : {false, true}) {
        std::printf("\n%s\n", cpu ? "processor time (steadier on a busy machine)" : "wall time");
        const std::vector<double>& w = cpu ? withCpu : with;
        const std::vector<double>& o = cpu ? withoutCpu : without;
        std::printf("%-26s %24s %24s %7s\n", "(a) colour", "with P3 profile", "without profile", "ratio");
        std::printf("%-26s %s %s %7.3f\n", "24 MP JPEG to 1920x1080", cell(w).c_str(), cell(o).c_str(),
                    spreadOf(w).median / spreadOf(o).median);
        std::printf("%-26s %24s %24s %7s\n", "(b) type", "our loading", "library's own decode", "ratio");
        for (int i = 0; i < kTypes; ++i) {
            const std::vector<double>& a = cpu ? oursCpu[i] : ours[i];
            const std::vector<double>& b = cpu ? ownCpu[i] : own[i];
            std::printf("%-26s %s %s %7.2f\n", kTypeSamples[i].name, cell(a).c_str(), cell(b).c_str(),
                        spreadOf(a).median / spreadOf(b).median);
        }
    }
    std::printf("\nshown sizes:");
    for (int i = 0; i < kTypes; ++i)
        std::printf(" %s %dx%d;", kTypeSamples[i].name, shown[i].width(), shown[i].height());
    std::printf("\nthe libraries decode each whole (none can decode at a reduced size); our scaler does the whole shrink\n");
    return 0;
}

int main(int argc, char** argv)
{
    QTemporaryDir settings;  // never the user's own settings
    setenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit().constData(), 1);
    TimedApplication app(argc, argv);
    windowThread = std::this_thread::get_id();
    const bool burst = argc > 1 && std::strcmp(argv[1], "burst") == 0;
    const bool types = argc > 1 && std::strcmp(argv[1], "types") == 0;
    const int arg = burst || types ? 2 : 1;
    const int rounds = argc > arg ? std::max(1, std::atoi(argv[arg])) : 7;
    const QString folder = argc > arg + 1 ? QString::fromLocal8Bit(argv[arg + 1])
                                          : QCoreApplication::applicationDirPath() + "/../bench-pictures";
    if (!makePictures(folder))
        return 1;
    Program program;
    program.setMessageSink([](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });
    if (burst)
        return measureBurst(folder, rounds);
    if (types)
        return measureTypes(folder, rounds);

    std::vector<QByteArray> paths;
    for (const Sample& s : kSamples)
        paths.push_back(QFile::encodeName(QDir(folder).absoluteFilePath(s.file)));

    // (c) first, so that the peak resident size is the viewing's own.
    frmSearch& search = forms::frmSearch();
    for (int r = 0; r < rounds + 1; ++r)
        for (const QByteArray& p : paths)
            search.List1->AddItem(p);
    search.List1->setSelected(0);
    search.Command2_Click();
    fImage& viewer = forms::fImage();
    const QSize screen = viewer.ScreenPixels();
    std::vector<double> handed[kCount], painted[kCount], floor[kCount], paintedCpu, floorCpu;
    qint64 preparedBytes = 0;
    for (int step = 0; step < rounds * kCount; ++step) {
        const int next = (step + 1) % kCount, before = step % kCount;
        if (!waitPrepared(viewer, paths[next], paths[before])) {
            std::fprintf(stderr, "entry %d was never prepared\n", step + 1);
            return 1;
        }
        // The floor: the picture on screen painted again, its box marked for
        // repainting as a step marks it. It was last read when its own step
        // painted it, and the decodes since have passed through the caches,
        // as a step finds the picture it shows.
        settleDisplay();
        Clock::time_point start = Clock::now();
        double cpu = threadCpuMs();
        viewer.Image1->update();
        viewer.repaint();
        untilOnScreen();
        if (step > 0) {
            floor[before].push_back(msSince(start));
            floorCpu.push_back(threadCpuMs() - cpu);
        }
        settleDisplay();
        start = Clock::now();
        cpu = threadCpuMs();
        pressDown(viewer);
        handed[next].push_back(msSince(start));
        viewer.repaint();
        untilOnScreen();
        painted[next].push_back(msSince(start));
        paintedCpu.push_back(threadCpuMs() - cpu);
        preparedBytes = std::max(preparedBytes, viewer.Image1->picture().sizeInBytes());
    }

    // The same steps as the program runs them: the press posted, the event
    // loop running until the window has painted and flushed the new picture.
    // A decode of a neighbour that began before then shared the processor
    // with the paint.
    app.window = &viewer;
    int beganDuringPaint = 0, loopSteps = 0;
    std::vector<double> loopPainted, decodeAfterPaint;
    for (int step = 0; step < rounds * kCount; ++step) {
        const int next = (search.List1->ListIndex() + 1) % search.List1->ListCount();
        const QByteArray target = search.List1->List(next);
        if (!waitPrepared(viewer, target, viewer.CurrentImagePath())) {
            std::fprintf(stderr, "entry %d was never prepared\n", next);
            return 1;
        }
        workerDecodeBegan = 0;
        app.updated = {};
        const Clock::time_point start = Clock::now();
        QCoreApplication::postEvent(&viewer, new QKeyEvent(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier));
        QCoreApplication::postEvent(&viewer, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier));
        Clock::time_point paintEnded{};
        while (msSince(start) < 10000 && (paintEnded == Clock::time_point{} || workerDecodeBegan == 0)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (paintEnded == Clock::time_point{} && app.updated != Clock::time_point{} &&
                viewer.CurrentImagePath() == target)
                paintEnded = app.updated;
        }
        if (paintEnded == Clock::time_point{}) {
            std::fprintf(stderr, "step %d: the new picture was never painted\n", step);
            return 1;
        }
        ++loopSteps;
        loopPainted.push_back(std::chrono::duration<double, std::milli>(paintEnded - start).count());
        if (workerDecodeBegan != 0) {
            const Clock::time_point began{Clock::duration(workerDecodeBegan.load())};
            beganDuringPaint += began < paintEnded;
            decodeAfterPaint.push_back(std::chrono::duration<double, std::milli>(began - paintEnded).count());
        }
    }
    app.window = nullptr;
    const long viewingPeak = peakMegabytes();
    viewer.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // (a) and (b), interleaved; the loader first in each round, so that the
    // baseline decodes at the scale the loader has just picked.
    Program::running()->Preparer().WaitForWorkers();
    const QSize fitTo(1920, 1080);
    PixelMemory memory;  // as the program's preparer decodes
    struct Row {
        std::vector<double> load, same, eighth, loadCpu, sameCpu, eighthCpu;
        QSize shown;
        DecodeSettings picked;
    } rows[kCount];
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < kCount; ++i) {
            Row& row = rows[i];
            Picture p;
            const Timing b = timed([&] {
                p = loadPictureFile(paths[i], fitTo, nullptr, &memory);
                return p.ok();
            });
            if (!p.ok()) {
                std::fprintf(stderr, "%s: %s\n", paths[i].constData(), qPrintable(p.error));
                return 1;
            }
            row.shown = p.image.size();
            row.picked = lastDecode;
            const unsigned eighths = row.picked.denom ? 8 * row.picked.num / row.picked.denom : 8;
            const Timing a = timed([&] { return decodeAtScale(paths[i], eighths, row.picked); });
            const Timing floor = timed([&] { return decodeAtScale(paths[i], 1, row.picked); });
            row.load.push_back(b.wall);
            row.loadCpu.push_back(b.cpu);
            row.same.push_back(a.wall);
            row.sameCpu.push_back(a.cpu);
            row.eighth.push_back(floor.wall);
            row.eighthCpu.push_back(floor.cpu);
        }
    }

    std::printf("%d rounds; loading fitted to %dx%d, stepping on a %dx%d screen\n", rounds, fitTo.width(),
                fitTo.height(), screen.width(), screen.height());
    std::printf("each figure: median [min-max] in ms; ratios of medians\n");
    auto cell = [](const std::vector<double>& v) {
        const Spread s = spreadOf(v);
        char text[64];
        std::snprintf(text, sizeof text, "%7.1f [%6.1f-%6.1f]", s.median, s.min, s.max);
        return std::string(text);
    };
    for (const bool cpu : {false, true}) {
        std::printf("\n%s\n", cpu ? "processor time (steadier on a busy machine)" : "wall time");
        std::printf("%-18s %6s %24s %24s %24s %7s %7s\n", "picture", "scale", "(b) loading", "(a) same scale",
                    "(a) 1/8", "b/same", "b/(1/8)");
        for (int i = 0; i < kCount; ++i) {
            const Row& r = rows[i];
            const std::vector<double>& b = cpu ? r.loadCpu : r.load;
            const std::vector<double>& a = cpu ? r.sameCpu : r.same;
            const std::vector<double>& e = cpu ? r.eighthCpu : r.eighth;
            const char* dct = r.picked.dct == JDCT_ISLOW ? "" : r.picked.dct == JDCT_IFAST ? " fast" : " float";
            std::printf("%-18s %3u/%u%s %s %s %s %7.2f %7.2f\n", kSamples[i].name, r.picked.num, r.picked.denom,
                        dct, cell(b).c_str(), cell(a).c_str(), cell(e).c_str(), spreadOf(b).median / spreadOf(a).median,
                        spreadOf(b).median / spreadOf(e).median);
        }
    }
    std::printf("\n%-18s %24s %24s %24s %9s  %s\n", "picture", "(c) Down to handed", "(c) Down to painted",
                "(c) floor: one repaint", "painted/", "shown");
    std::printf("%-18s %24s %24s %24s %9s\n", "", "", "", "", "floor");
    std::vector<double> allPainted, allFloor;
    for (int i = 0; i < kCount; ++i) {
        std::printf("%-18s %s %s %s %9.2f  %dx%d\n", kSamples[i].name, cell(handed[i]).c_str(),
                    cell(painted[i]).c_str(), cell(floor[i]).c_str(), spreadOf(painted[i]).median / spreadOf(floor[i]).median,
                    rows[i].shown.width(), rows[i].shown.height());
        allPainted.insert(allPainted.end(), painted[i].begin(), painted[i].end());
        allFloor.insert(allFloor.end(), floor[i].begin(), floor[i].end());
    }
    std::printf("%-18s %24s %s %s %9.2f\n", "all", "", cell(allPainted).c_str(), cell(allFloor).c_str(),
                spreadOf(allPainted).median / spreadOf(allFloor).median);
    std::printf("%-18s %24s %s %s %9.2f\n", "all, processor", "", cell(paintedCpu).c_str(),
                cell(floorCpu).c_str(), spreadOf(paintedCpu).median / spreadOf(floorCpu).median);
    std::printf("(processor: the window thread's own, steadier on a busy machine)\n");
    std::printf("through the event loop: Down to painted and flushed %s; a neighbour's decode began before the "
                "paint had ended in %d of %d steps, else %s ms after it\n",
                cell(loopPainted).c_str(), beganDuringPaint, loopSteps, cell(decodeAfterPaint).c_str());
    const PictureRoom room = PictureRoom::For(screen);
    std::printf("a prepared picture: %.1f MB; held at most: %d, and the memory of %d more kept; peak resident size "
                "while viewing: %ld MB\n",
                preparedBytes / 1048576.0, room.held, room.kept, viewingPeak);
    return 0;
}
