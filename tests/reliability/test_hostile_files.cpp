// A folder of hostile files searched through the main window and viewed entry
// by entry with the keys, then in a short slide show: nothing hangs (a
// watchdog ends the run), nothing crashes, memory stays bounded, and the error
// picture stands in for whatever cannot be shown.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "HostileCorpus.h"
#include "app/ImageListBox.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "viewer/PictureBox.h"
#include "viewer/PictureLoader.h"
#include "viewer/fImage.h"

namespace {

constexpr long kMemoryBoundKb = 1024 * 1024;
// Longer than this and a user takes the viewer for hung; a loaded machine
// stays far below it for any of these files.
constexpr qint64 kStepBoundMs = 10000;

// Ends the whole test program, naming the step it hung in, when the step
// takes longer than the limit.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock lock(mutex_);
              while (!done_) {
                  const auto step = step_;
                  if (!wake_.wait_for(lock, limit, [&] { return done_ || step_ != step; })) {
                      std::fprintf(stderr, "hang: no progress for %lld s in: %s\n",
                                   static_cast<long long>(limit.count()), step_.c_str());
                      std::fflush(stderr);
                      std::abort();
                  }
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void step(std::string what)
    {
        {
            std::lock_guard lock(mutex_);
            step_ = std::move(what) + " #" + std::to_string(++count_);
        }
        wake_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string step_ = "start";
    long count_ = 0;
    bool done_ = false;
    std::thread thread_;
};

long statusKb(const char* field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(static_cast<qsizetype>(std::strlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

void store(const char* name, const std::string& text)
{
    cRegistry reg = AppSettings::Open();
    reg.setValueKey(name);
    reg.setValue(text);
}

}  // namespace

TEST(HostileFiles, SearchAndViewEveryEntryWithoutHangCrashOrRunawayMemory)
{
    TempStore settings;
    QTemporaryDir folder;
    const std::vector<hostile::Entry> corpus = hostile::make(folder.path());
    ASSERT_GE(corpus.size(), 20u);
    store("varImagePath1", folder.path().toStdString());
    store("varSlideShowType", "1");
    store("varSlideShowDelayTime", "1");
    store("varOtherPictureTypes", "1");
    std::vector<QString> messages;
    const MsgBoxHook previousBox = setMsgBoxHook([&](const QString& m) { messages.push_back(m); });

    Watchdog watchdog(std::chrono::seconds(60));
    frmSearch& main = forms::frmSearch();
    main.show();
    watchdog.step("search");
    main.lblImageCaption1_Click();

    // Each listed entry once, nothing else.
    const QByteArray prefix = QFile::encodeName(folder.path()) + "/";
    std::map<QByteArray, int> listed;
    for (int i = 0; i < main.List1->ListCount(); ++i) {
        const QByteArray path = main.List1->List(i);
        ASSERT_TRUE(path.startsWith(prefix)) << path.toStdString();
        ++listed[path.mid(prefix.size())];
    }
    std::map<QByteArray, const hostile::Entry*> byName;
    for (const hostile::Entry& e : corpus) {
        byName[e.name] = &e;
        EXPECT_EQ(listed.count(e.name) ? listed[e.name] : 0, e.listed ? 1 : 0) << e.what;
    }
    for (const auto& [name, n] : listed)
        EXPECT_TRUE(byName.count(name)) << "unexpected entry " << name.toStdString();

    // What the search left out may still be found in place of a listed file.
    for (const hostile::Entry& e : corpus)
        if (!e.listed && !e.name.startsWith("cycle"))
            main.List1->AddItem(prefix + e.name);

    // Every entry with the Down key, from the first.
    main.List1->setSelected(0);
    watchdog.step("open the viewer");
    main.Command2_Click();
    fImage& viewer = forms::fImage();
    QElapsedTimer clock;
    qint64 slowest = 0;
    QByteArray slowestName;
    int shown = 0, errorPictures = 0;
    for (int i = 0; i < main.List1->ListCount(); ++i) {
        const QByteArray name = main.List1->Text().mid(prefix.size());
        const hostile::Entry* e = byName.count(name) ? byName[name] : nullptr;
        ASSERT_NE(e, nullptr) << name.toStdString();
        // A step onto a picture not decoded yet shows it once it is.
        EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.CurrentImagePath() == main.List1->Text(); }, 10000))
            << e->what;
        const bool picture = viewer.Image1->isVisible(), error = viewer.Image2->isVisible();
        EXPECT_NE(picture, error) << e->what << ": exactly one of the picture and the error picture";
        shown += picture;
        errorPictures += error;
        if (e->outcome == hostile::Entry::Shown) {
            EXPECT_TRUE(picture) << e->what;
        } else if (e->outcome == hostile::Entry::ErrorPicture) {
            EXPECT_TRUE(error) << e->what;
        }
        watchdog.step("Down key after " + std::string(e->what));
        clock.restart();
        QTest::keyClick(&viewer, Qt::Key_Down);
        if (clock.elapsed() > slowest) {
            slowest = clock.elapsed();
            slowestName = name;
        }
    }
    watchdog.step("Up key");
    QTest::keyClick(&viewer, Qt::Key_Up);

    // A progressive show at the shortest delay over the whole list and round again.
    watchdog.step("slide show");
    QTest::keyClick(&viewer, Qt::Key_Space);
    EXPECT_TRUE(viewer.Timer1->isActive());
    const int ticks = main.List1->ListCount() + 2;
    for (int t = 0; t < ticks && viewer.Timer1->isActive(); ++t) {
        watchdog.step("slide-show step at " + main.List1->Text().mid(prefix.size()).toStdString());
        QTest::qWait(500);
    }
    EXPECT_TRUE(viewer.Timer1->isActive()) << "the show goes on past every entry";
    watchdog.step("Escape");
    QTest::keyClick(&viewer, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    const long peakKb = statusKb("VmHWM:");
    std::printf("hostile files: %zu made, %d listed; %d shown, %d error pictures; slowest step %lld ms (%s); "
                "peak resident memory %ld kB\n",
                corpus.size(), main.List1->ListCount(), shown, errorPictures, slowest,
                slowestName.toStdString().c_str(), peakKb);
    EXPECT_LT(peakKb, kMemoryBoundKb);
    EXPECT_LT(slowest, kStepBoundMs) << slowestName.toStdString();
    EXPECT_TRUE(messages.empty());
    setMsgBoxHook(previousBox);
    delete forms::existingFrmSearch();
    // By bytes: the temporary folder's own clean-up cannot name every file.
    for (const hostile::Entry& e : corpus)
        ::unlink((prefix + e.name).constData());
}

// Each file on its own, as the viewer's loader reads it for a full-HD screen:
// none takes a user-visible time or much memory, whatever it claims.
TEST(HostileFiles, EachFileLoadsWithinASecondAndAHundredMegabytes)
{
    constexpr qint64 kLoadBoundMs = 1000;
    constexpr long kLoadMemoryBoundKb = 100 * 1024;
    QTemporaryDir folder;
    const std::vector<hostile::Entry> corpus = hostile::make(folder.path());
    const QByteArray prefix = QFile::encodeName(folder.path()) + "/";
    qint64 slowest = 0;
    long largest = 0;
    std::string slowestWhat, largestWhat;
    for (const hostile::Entry& e : corpus) {
        // The peak resident size starts again from the present one.
        QFile clear("/proc/self/clear_refs");
        ASSERT_TRUE(clear.open(QIODevice::WriteOnly) && clear.write("5") == 1);
        clear.close();
        const long before = statusKb("VmRSS:");
        QElapsedTimer clock;
        clock.start();
        const Picture p = loadPictureFile(prefix + e.name, {1920, 1080});
        const qint64 ms = clock.elapsed();
        const long kb = statusKb("VmHWM:") - before;
        if (e.outcome == hostile::Entry::Shown) {
            EXPECT_TRUE(p.ok()) << e.what << ": " << p.error.toStdString();
        } else if (e.outcome == hostile::Entry::ErrorPicture) {
            EXPECT_FALSE(p.ok()) << e.what;
        }
        if (ms > slowest) {
            slowest = ms;
            slowestWhat = e.what;
        }
        if (kb > largest) {
            largest = kb;
            largestWhat = e.what;
        }
    }
    std::printf("hostile files one by one: slowest %lld ms (%s), most memory %ld kB (%s)\n", slowest,
                slowestWhat.c_str(), largest, largestWhat.c_str());
    EXPECT_LT(slowest, kLoadBoundMs) << slowestWhat;
    EXPECT_LT(largest, kLoadMemoryBoundKb) << largestWhat;
    for (const hostile::Entry& e : corpus)
        ::unlink((prefix + e.name).constData());
}
