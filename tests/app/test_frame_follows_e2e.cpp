// The real program's show following its folder while other processes change
// it: copies, a slow write, a removal, a rename, and a drive stand-in that
// goes and comes back. Each line the program prints is stamped as it is read.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"
#include "tests/viewer/PictureFiles.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPatience = 30s;  // the machine may be busy with other work

struct Line {
    Clock::time_point at;  // when the test read it
    QByteArray text;
};

QByteArray png()
{
    QImage image(32, 24, QImage::Format_RGB32);
    image.fill(Qt::green);
    return picturefiles::encoded(image, picturefiles::Kind::Png);
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// The show, with every change it takes in told on standard error.
class Show {
public:
    Show(const QString& folder, const QString& state, bool poll)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state);
        env.insert("MARBLEGLEN_TEST_CHANGES", "1");
        if (poll)
            env.insert("MARBLEGLEN_TEST_POLL", "1");
        program_.setProcessEnvironment(env);
        program_.start(MARBLEGLEN_BIN,
                       {"--show", folder, "--order", "random", "--delay", "0.5", "--verbose", "--new-first"});
        program_.waitForStarted();
    }
    ~Show()
    {
        program_.terminate();
        if (!program_.waitForFinished(5000))
            program_.kill();
        program_.waitForFinished();
    }

    std::vector<Line> shown;    // paths, as shown
    std::vector<Line> changes;  // "joined PATH" and "left PATH"

    // Reads on until `done` or the patience runs out; false then.
    bool until(const std::function<bool()>& done, Clock::duration patience = kPatience)
    {
        const auto end = Clock::now() + patience;
        while (!done()) {
            if (Clock::now() > end || program_.state() != QProcess::Running)
                return false;
            program_.waitForReadyRead(10);
            read();
        }
        return true;
    }
    void waitFor(Clock::duration time)
    {
        until([end = Clock::now() + time] { return Clock::now() >= end; });
    }
    // When the change ("joined" or "left") of the picture of that name came, if it did.
    const Line* change(const char* kind, const QString& name, Clock::time_point after = {}) const
    {
        for (const Line& l : changes)
            if (l.at >= after && l.text.startsWith(kind) && l.text.endsWith("/" + QFile::encodeName(name)))
                return &l;
        return nullptr;
    }
    std::vector<Clock::time_point> shownAt(const QString& name) const
    {
        std::vector<Clock::time_point> at;
        for (const Line& l : shown)
            if (l.text.endsWith("/" + QFile::encodeName(name)))
                at.push_back(l.at);
        return at;
    }
    bool running() const { return program_.state() == QProcess::Running; }

private:
    void read()
    {
        const auto now = Clock::now();
        outBuffer_ += program_.readAllStandardOutput();
        errBuffer_ += program_.readAllStandardError();
        for (int nl; (nl = outBuffer_.indexOf('\n')) >= 0; outBuffer_.remove(0, nl + 1))
            shown.push_back({now, outBuffer_.left(nl)});
        for (int nl; (nl = errBuffer_.indexOf('\n')) >= 0; errBuffer_.remove(0, nl + 1)) {
            // "marbleglen: joined NANOSECONDS PATH"
            const QList<QByteArray> words = errBuffer_.left(nl).split(' ');
            if (words.size() >= 4 && (words[1] == "joined" || words[1] == "left"))
                changes.push_back({now, words[1] + ' ' + errBuffer_.left(nl).mid(words[0].size() + words[1].size() + words[2].size() + 3)});
        }
    }

    QProcess program_;
    QByteArray outBuffer_, errBuffer_;
};

class FrameFollowsFolder : public testing::TestWithParam<bool> {};

// Copies, a slow write, a removal and a rename made by other processes while
// the show runs: with events, and without (a FUSE mount changed from below,
// which gives none; without root or bindfs, every folder polled by the test
// switch instead).
TEST_P(FrameFollowsFolder, PicturesJoinLeaveAndAreRenamedWhileItRuns)
{
    const bool poll = GetParam();
    TempStore settings;
    AppSettings::WriteText(AppSettings::kOtherPictureTypes, "1");
    QTemporaryDir pictures, state, elsewhere, mounted;
    // Changes go to `pictures`; the show shows `folder`, the same or a mount of it.
    struct Unmount {
        QByteArray path;
        ~Unmount()
        {
            if (!path.isEmpty())
                umount2(path.constData(), MNT_DETACH);
        }
    } unmount;
    QString folder = pictures.path();
    const bool fuse = poll && geteuid() == 0 && !QStandardPaths::findExecutable("bindfs").isEmpty();
    if (fuse) {
        ASSERT_EQ(QProcess::execute("bindfs", {pictures.path(), mounted.path()}), 0);
        unmount.path = QFile::encodeName(mounted.path());
        folder = mounted.path();
    }
    // Enough that the random cycle does not end (and show a picture again) within the test.
    for (int i = 0; i < 40; ++i)
        writeFile(pictures.filePath(QString("p%1.jpg").arg(i)), picturefiles::jpeg(32, 24));
    for (const char* name : {"b.jpg", "c.jpg"})
        writeFile(pictures.filePath(name), picturefiles::jpeg(32, 24));
    const QByteArray big = picturefiles::jpeg(400, 300);
    for (const char* name : {"new1.jpg", "slow.jpg"})
        writeFile(elsewhere.filePath(name), big);
    writeFile(elsewhere.filePath("new2.png"), png());

    Show show(folder, state.path(), poll && !fuse);
    ASSERT_TRUE(show.until([&] { return show.shown.size() >= 2; }));

    // Written in three pieces over three seconds, through one descriptor.
    QProcess slow;
    const auto began = Clock::now();
    slow.start("sh", {"-c", "{ head -c 300; sleep 1.5; head -c 300; sleep 1.5; cat; } <\"$1\" >\"$2\"", "sh",
                      elsewhere.filePath("slow.jpg"), pictures.filePath("slow.jpg")});
    ASSERT_TRUE(QProcess::execute("cp", {elsewhere.filePath("new1.jpg"), pictures.path()}) == 0);
    ASSERT_TRUE(QProcess::execute("cp", {elsewhere.filePath("new2.png"), pictures.path()}) == 0);
    ASSERT_TRUE(QProcess::execute("rm", {pictures.filePath("b.jpg")}) == 0);
    ASSERT_TRUE(QProcess::execute("mv", {pictures.filePath("c.jpg"), pictures.filePath("renamed.jpg")}) == 0);
    const QStringList joining = {"new1.jpg", "new2.png", "renamed.jpg", "slow.jpg"};
    ASSERT_TRUE(show.until([&] {
        for (const QString& name : joining)
            if (show.shownAt(name).empty())
                return false;
        return show.change("left", "b.jpg") && show.change("left", "c.jpg");
    })) << "shown " << show.shown.size();
    ASSERT_TRUE(slow.waitForFinished());
    show.waitFor(1500ms);
    ASSERT_TRUE(show.running());

    // Never shown before its close, which came after both pauses.
    const Line* slowJoined = show.change("joined", "slow.jpg");
    ASSERT_TRUE(slowJoined);
    EXPECT_GE(slowJoined->at - began, 3s);
    EXPECT_GE(show.shownAt("slow.jpg").front() - began, 3s);
    // Each new picture shown next after it joined, once, and in the order they joined.
    for (const QString& name : joining) {
        const Line* joined = show.change("joined", name);
        ASSERT_TRUE(joined) << name.toStdString();
        const auto at = show.shownAt(name);
        ASSERT_EQ(at.size(), 1u) << name.toStdString();
        // At most all four queued ahead, half a second each, on a busy machine.
        EXPECT_LT(at.front() - joined->at, 3500ms) << name.toStdString();
    }
    if (!poll) {
        // With events each came on its own, so the order of showing is the order of arrival.
        EXPECT_LT(show.change("joined", "new1.jpg")->at, show.change("joined", "new2.png")->at + 1ms);
        EXPECT_LT(show.shownAt("new1.jpg").front(), show.shownAt("new2.png").front());
    }
    // Gone and renamed away: never shown again (a line already on its way may
    // be read a moment later).
    for (const char* gone : {"b.jpg", "c.jpg"}) {
        const auto left = show.change("left", gone)->at;
        for (const auto at : show.shownAt(gone))
            EXPECT_LT(at, left + 200ms) << gone;
    }
}

INSTANTIATE_TEST_SUITE_P(EventsAndPolling, FrameFollowsFolder, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Eventless" : "Events"; });

// A drive stand-in (a tmpfs) on a sub-folder: unmounted, its pictures leave
// and the show goes on with the rest; with none left it waits; mounted again
// with pictures, it picks up by itself.
TEST(FrameFollowsDrive, UnmountedAndMountedAgain)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    TempStore settings;
    AppSettings::WriteText(AppSettings::kOtherPictureTypes, "1");
    QTemporaryDir pictures, state;
    const QString drive = pictures.filePath("drive");
    QDir().mkpath(drive);
    // Whatever happens, nothing is left mounted (after the show has ended).
    struct Unmount {
        QByteArray path;
        ~Unmount() { umount2(path.constData(), MNT_DETACH); }
    } unmount{QFile::encodeName(drive)};
    writeFile(pictures.filePath("own.jpg"), picturefiles::jpeg(32, 24));
    auto mountDrive = [&](const char* picture) {
        ASSERT_EQ(mount("tmpfs", QFile::encodeName(drive).constData(), "tmpfs", 0, "size=4m"), 0) << errno;
        writeFile(drive + "/" + picture, picturefiles::jpeg(32, 24));
    };
    mountDrive("d1.jpg");
    writeFile(drive + "/d2.png", png());  // the walk, too, looks for the other types
    Show show(pictures.path(), state.path(), false);
    ASSERT_TRUE(show.until([&] { return show.shown.size() >= 2; }));

    // Not held busy: a plain unmount succeeds.
    ASSERT_EQ(umount(QFile::encodeName(drive).constData()), 0) << errno;
    ASSERT_TRUE(show.until([&] { return show.change("left", "d1.jpg") && show.change("left", "d2.png"); }));
    auto since = Clock::now();
    show.waitFor(1500ms);
    for (const Line& l : show.shown) {
        if (l.at > since + 200ms) {
            EXPECT_TRUE(l.text.endsWith("/own.jpg")) << l.text.toStdString();
        }
    }
    EXPECT_TRUE(show.running());

    mountDrive("d3.jpg");
    ASSERT_TRUE(show.until([&] { return !show.shownAt("d3.jpg").empty(); }));

    // None left: the waiting screen, no picture shown, until the drive is back.
    ASSERT_TRUE(QFile::remove(pictures.filePath("own.jpg")));
    ASSERT_EQ(umount(QFile::encodeName(drive).constData()), 0) << errno;
    ASSERT_TRUE(show.until([&] { return show.change("left", "d3.jpg") && show.change("left", "own.jpg"); }));
    since = Clock::now();
    const std::size_t before = show.shown.size();
    show.waitFor(2s);
    for (std::size_t i = before; i < show.shown.size(); ++i)
        EXPECT_LT(show.shown[i].at, since + 200ms) << show.shown[i].text.toStdString();
    EXPECT_TRUE(show.running());

    mountDrive("d4.jpg");
    EXPECT_TRUE(show.until([&] { return !show.shownAt("d4.jpg").empty(); }));
}

}  // namespace
