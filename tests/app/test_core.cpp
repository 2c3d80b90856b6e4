// The main window's plain core: texts, name order, wildcard, the image list, waiting.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "app/BlockingWork.h"
#include "app/FolderWalk.h"
#include "app/ImageList.h"
#include "app/ImageListBox.h"
#include "app/ImageListModel.h"
#include "app/NaturalOrder.h"
#include "app/WindowText.h"

using namespace std::chrono_literals;

TEST(StatusText, CountsFolderItselfAndUsesSingularOnlyForOneDirectory)
{
    struct Case {
        std::int64_t files, dirs, notSearched;
        const char* text;
    } cases[] = {
        {0, 0, 0, " 0 Files found in 1 Directory"},
        {1, 0, 0, " 1 Files found in 1 Directory"},
        {12, 0, 0, " 12 Files found in 1 Directory"},
        {0, 1, 0, " 0 Files found in 2 Directories"},
        {3, 2, 0, " 3 Files found in 3 Directories"},
        // No 16-bit limit: large counts are reported as they are.
        {40000, 32767, 0, " 40000 Files found in 32768 Directories"},
        {100000, 5000, 0, " 100000 Files found in 5001 Directories"},
        // Folders links led into too often are not passed over in silence.
        {311, 606, 296, " 311 Files found in 607 Directories (296 not searched again: reached more than 8 times through links)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SearchStatusText(c.files, c.dirs, c.notSearched).toStdString(), c.text) << c.files << " " << c.dirs;
}

// A failed search says why in words, not in the name of an exception type.
TEST(StatusText, SearchFailureNamesItsReason)
{
    struct Case {
        std::exception_ptr failure;
        const char* reason;
    } cases[] = {
        {std::make_exception_ptr(std::bad_alloc()), "Not enough memory"},
        {std::make_exception_ptr(std::system_error(EMFILE, std::generic_category())), "Too many open files"},
        {std::make_exception_ptr(std::runtime_error("Disk on fire")), "Disk on fire"},
        {std::make_exception_ptr(42), "Unknown error"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FailureReason(c.failure).toStdString(), c.reason);
    EXPECT_EQ(SearchFailedText("Too many open files").toStdString(), " Search failed: Too many open files");
    EXPECT_EQ(SearchFailedMessage("/home/me/Bilder \xE9t\xE9", "Not enough memory").toStdString(),
              "The search of \"/home/me/Bilder \u00e9t\u00e9\" failed: Not enough memory. The image list is empty.");
}

TEST(CaptionText, CutsToSixteenCharacters)
{
    struct Case {
        std::string stored, shown;
    } cases[] = {
        {"", ""},
        {"Holidays", "Holidays"},
        {"Summer holidays ", "Summer holidays "},
        {"Summer holidays 2025", "Summer holidays "},
        // Characters, not bytes or UTF-16 units.
        {"Ferien Kärnten 2024", "Ferien Kärnten 2"},
        {"\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"
         "\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600xyz",
         "\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"
         "\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CaptionText(c.stored).toStdString(), c.shown) << c.stored;
}

TEST(DisplayPath, ShowsInvalidUtf8BytesAsLatin1AndKeepsValidText)
{
    struct Case {
        QByteArray bytes;
        QString shown;
    } cases[] = {
        {"/photos/a.jpg", "/photos/a.jpg"},
        {"/fotos/K\xC3\xA4rnten.jpg", QString::fromUtf8("/fotos/Kärnten.jpg")},
        {"/fotos/caf\xE9.jpg", QString::fromUtf8("/fotos/café.jpg")},
        {"/x/\xC3\xA4\xE9\xC3\xA4.jpg", QString::fromUtf8("/x/äéä.jpg")},
        {"/x/\xC3", QString::fromUtf8("/x/Ã")},        // cut sequence at the end
        {"/x/\xC0\xAF", QString::fromUtf8("/x/À¯")},  // overlong "/" is not valid
        {"/x/\xED\xA0\x80", QString::fromUtf8("/x/í\xC2\xA0\xC2\x80")},  // a surrogate
    };
    for (const Case& c : cases)
        EXPECT_EQ(DisplayPath(c.bytes), c.shown) << c.bytes.toHex().toStdString();
}

TEST(NaturalOrder, SortsNamesAsAFileManagerDoes)
{
    std::vector<std::string> names = {"IMG_10.jpg", "img_2.JPG", "Img_1.jpg", "b.jpg", "A.jpg",
                                      "a.jpg",      "x007.jpg",  "x7.jpg",    "x8.jpg", "99999999999999999999.jpg",
                                      "100000000000000000000.jpg"};
    std::sort(names.begin(), names.end(), NaturalLess);
    const std::vector<std::string> expected = {"99999999999999999999.jpg", "100000000000000000000.jpg",
                                               "A.jpg", "a.jpg", "b.jpg", "Img_1.jpg", "img_2.JPG",
                                               "IMG_10.jpg", "x007.jpg", "x7.jpg", "x8.jpg"};
    EXPECT_EQ(names, expected);
    EXPECT_LT(NaturalCompare("abc", "abcd"), 0);
    EXPECT_EQ(NaturalCompare("ABC1", "abc01"), 0);
}

TEST(WildcardMatch, MatchesJpgInAnyCaseOnly)
{
    struct Case {
        const char* name;
        const char* pattern;
        bool match;
    } cases[] = {
        {"a.jpg", "*.jpg", true},       {"B.JPG", "*.jpg", true},      {"c.Jpg", "*.jpg", true},
        {".jpg", "*.jpg", true},        {"a.jpeg", "*.jpg", false},    {"a.jpg.bak", "*.jpg", false},
        {"ajpg", "*.jpg", false},       {"a.jpg.jpg", "*.jpg", true},  {"anything", "*", true},
        {"", "*", true},                {"ab", "a?", true},            {"a", "a?", false},
        {"x.jpgx", "*.jpg", false},     {"a.b.c.jpg", "*.*.jpg", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.name, c.pattern), c.match) << c.name << " ~ " << c.pattern;
}

TEST(MatchesSearch, TakesANameAnyOfTheListedPatternsMatches)
{
    struct Case {
        const char* name;
        const char* pattern;
        bool match;
    } cases[] = {
        {"a.jpg", kPicturePattern, true},      {"a.jpeg", kPicturePattern, false},
        {"a.heic", kPicturePattern, false},    {"a.JPEG", kAllPicturesPattern, true},
        {"a.Jpe", kAllPicturesPattern, true},  {"a.jfif", kAllPicturesPattern, true},
        {"a.PNG", kAllPicturesPattern, true},  {"a.webp", kAllPicturesPattern, true},
        {"a.HEIC", kAllPicturesPattern, true}, {"a.heif", kAllPicturesPattern, true},
        {"a.avif", kAllPicturesPattern, true}, {"a.jxl", kAllPicturesPattern, true},
        {"a.jpg", kAllPicturesPattern, true},  {"a.gif", kAllPicturesPattern, false},
        {"a.heic.txt", kAllPicturesPattern, false}, {"jxl", kAllPicturesPattern, false},
        {"a.tif", "*.jpg;", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesSearch(c.name, c.pattern), c.match) << c.name << " ~ " << c.pattern;
}

namespace {
void fill(ImageList& list, int count, int current)
{
    for (int i = 0; i < count; ++i)
        list.append("/p/" + QByteArray::number(i) + ".jpg");
    list.select(current);
}
}  // namespace

TEST(ImageList, SteppingWrapsRoundAndStepsDownNowhereFromNothing)
{
    struct Case {
        int count, current, up, down;
    } cases[] = {
        {5, 2, 1, 3},
        {5, 0, 4, 1},
        {5, 4, 3, 0},
        {1, 0, 0, 0},
        {5, -1, 4, -1},  // nothing current: up goes to the last, down stays
        {0, -1, -1, -1},
    };
    for (const Case& c : cases) {
        ImageList up, down;
        fill(up, c.count, c.current);
        fill(down, c.count, c.current);
        up.moveUp();
        EXPECT_EQ(up.current(), c.up) << c.current << "/" << c.count;
        down.moveDown();
        EXPECT_EQ(down.current(), c.down) << c.current << "/" << c.count;
        EXPECT_EQ(down.currentPath(), c.down < 0 ? QByteArray() : down.path(c.down));
    }
}

TEST(ImageList, RefillingForgetsTheCurrentEntryAndOutsideIndexesThrow)
{
    ImageList list;
    fill(list, 3, 1);
    EXPECT_THROW(list.select(3), std::out_of_range);
    EXPECT_THROW(list.path(-1), std::out_of_range);
    EXPECT_EQ(list.current(), 1);
    list.append("/p/3.jpg");
    EXPECT_EQ(list.current(), 1) << "appending keeps the current entry";
    list.clear();
    EXPECT_EQ(list.current(), -1);
    list.select(-1);
    list.append(std::vector<QByteArray>{"/a.jpg", "/b.jpg"});
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.current(), -1);
}

namespace {
std::vector<QByteArray> below(const char* root, const std::vector<QByteArray>& names)
{
    std::vector<QByteArray> paths;
    for (const QByteArray& name : names)
        paths.push_back(root + name);
    return paths;
}

std::vector<QByteArray> pathsOf(const ImageList& list)
{
    std::vector<QByteArray> paths;
    for (int i = 0; i < list.count(); ++i)
        paths.push_back(list.path(i));
    return paths;
}
}  // namespace

// Pictures that appear and go, in batches: each lands where the search puts
// it, the current entry stays the same picture (or, when it goes, nothing is
// current and the steps go to the neighbours it had), and the main window's
// list box shows the list as it is, with the selection on the current entry.
TEST(ImageList, BatchesJoinInSearchOrderAndKeepTheCurrentPicture)
{
    using Names = std::vector<QByteArray>;
    struct Case {
        const char* what;
        Names before;
        const char* current;  // "" for none
        char change;          // '+' insert, '-' remove
        Names batch;
        std::vector<std::int32_t> returned;
        Names after;
        const char *currentAfter, *down, *up;
    } cases[] = {
        {"joining before, after, below and twice", {"a.jpg", "c.jpg", "s/a.jpg", "t/x.jpg"}, "c.jpg", '+',
         {"s/0.jpg", "b.jpg", "z.jpg", "c.jpg", "b.jpg", "t/u/1.jpg", "d.jpg"}, {5, 1, 4, -1, -1, 8, 3},
         {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "z.jpg", "s/0.jpg", "s/a.jpg", "t/x.jpg", "t/u/1.jpg"}, "c.jpg", "d.jpg",
         "b.jpg"},
        {"joining an empty list", {}, "", '+', {"IMG_10.jpg", "IMG_9.jpg"}, {1, 0}, {"IMG_9.jpg", "IMG_10.jpg"}, "", "",
         "IMG_10.jpg"},
        {"others leave", {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"}, "c.jpg", '-', {"e.jpg", "x.jpg", "a.jpg"},
         {0, 4}, {"b.jpg", "c.jpg", "d.jpg"}, "c.jpg", "d.jpg", "b.jpg"},
        {"the current one leaves", {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}, "c.jpg", '-', {"c.jpg"}, {2},
         {"a.jpg", "b.jpg", "d.jpg"}, "", "d.jpg", "b.jpg"},
        {"it and its neighbours leave", {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"}, "c.jpg", '-',
         {"d.jpg", "c.jpg", "b.jpg"}, {1, 2, 3}, {"a.jpg", "e.jpg"}, "", "e.jpg", "a.jpg"},
        {"the last, current, leaves", {"a.jpg", "b.jpg", "c.jpg"}, "c.jpg", '-', {"c.jpg"}, {2}, {"a.jpg", "b.jpg"}, "",
         "a.jpg", "b.jpg"},
        {"the first, current, leaves", {"a.jpg", "b.jpg", "c.jpg"}, "a.jpg", '-', {"a.jpg"}, {0}, {"b.jpg", "c.jpg"}, "",
         "b.jpg", "c.jpg"},
        {"a folder's pictures leave", {"a.jpg", "s/a.jpg", "s/b.jpg", "t/a.jpg"}, "t/a.jpg", '-', {"s/b.jpg", "s/a.jpg"},
         {1, 2}, {"a.jpg", "t/a.jpg"}, "t/a.jpg", "a.jpg", "a.jpg"},
        {"everything leaves", {"a.jpg", "b.jpg"}, "a.jpg", '-', {"a.jpg", "b.jpg"}, {0, 1}, {}, "", "", ""},
        {"nothing there leaves", {"a.jpg"}, "a.jpg", '-', {"b.jpg"}, {}, {"a.jpg"}, "a.jpg", "a.jpg", "a.jpg"},
    };
    const char* root = "/r/";
    for (const Case& c : cases) {
        ImageList list;
        ImageListBox box(list);  // its model and its selection
        list.append(below(root, c.before));
        if (*c.current)
            list.select(list.find(root + QByteArray(c.current)));
        const std::vector<std::int32_t> returned =
            c.change == '+' ? list.insert(below(root, c.batch)) : list.remove(below(root, c.batch));
        EXPECT_EQ(returned, c.returned) << c.what;
        EXPECT_EQ(pathsOf(list), below(root, c.after)) << c.what;
        EXPECT_EQ(list.currentPath(), *c.currentAfter ? root + QByteArray(c.currentAfter) : QByteArray()) << c.what;
        ASSERT_EQ(box.model()->rowCount(), list.count()) << c.what;
        for (int i = 0; i < list.count(); ++i)
            EXPECT_EQ(box.model()->index(i, 0).data(ImageListModel::PathRole).toByteArray(), list.path(i)) << c.what;
        const QModelIndexList selected = box.selectionModel()->selectedIndexes();
        EXPECT_EQ(selected.isEmpty() ? -1 : selected.first().row(), list.current()) << c.what;
        for (const char* step : {"down", "up"}) {
            ImageList moved;
            moved.append(below(root, c.before));
            if (*c.current)
                moved.select(moved.find(root + QByteArray(c.current)));
            c.change == '+' ? moved.insert(below(root, c.batch)) : moved.remove(below(root, c.batch));
            step == std::string("down") ? moved.moveDown() : moved.moveUp();
            const char* wanted = step == std::string("down") ? c.down : c.up;
            EXPECT_EQ(moved.currentPath(), *wanted ? root + QByteArray(wanted) : QByteArray()) << c.what << ", " << step;
        }
    }
}

// Batches of thousands into a list of a hundred thousand: merged, not put
// in one at a time (which takes seconds here).
TEST(ImageList, LargeBatchesAreMerged)
{
    ImageList list;
    std::vector<QByteArray> paths;
    for (int i = 0; i < 100000; i += 2)
        paths.push_back("/r/" + QByteArray::number(i / 1000) + "/" + QByteArray::number(i) + ".jpg");
    list.append(std::move(paths));
    list.select(25001);
    const QByteArray current = list.currentPath();
    std::vector<QByteArray> joining, leaving;
    for (int i = 1; i < 100000; i += 10)
        joining.push_back("/r/" + QByteArray::number(i / 1000) + "/" + QByteArray::number(i) + ".jpg");
    for (int i = 0; i < 100000; i += 10)
        leaving.push_back("/r/" + QByteArray::number(i / 1000) + "/" + QByteArray::number(i) + ".jpg");
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(list.insert(joining).size(), 10000u);
    EXPECT_EQ(list.remove(leaving).size(), 10000u);
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(list.count(), 50000);
    EXPECT_EQ(list.currentPath(), current);
    const std::vector<QByteArray> all = pathsOf(list);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](const QByteArray& a, const QByteArray& b) {
        return SearchOrderLess(a.toStdString(), b.toStdString());
    }));
}

// The work runs on another thread while this one handles no event; progress
// ticks come on this thread, the first after the first delay, then again until
// the work ends. The work here ends once it has seen three ticks (or after ten
// seconds, so that a missing tick fails the test instead of hanging it).
TEST(RunBlocking, TicksHereAfterTheFirstDelayUntilTheWorkEndsAndRunsNoOtherHandler)
{
    using Clock = std::chrono::steady_clock;
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    std::mutex m;
    std::condition_variable ticked;
    int ticks = 0, ticksSeenByWork = 0;
    bool timerRanDuringWork = false;
    std::thread::id workThread, tickThread;
    Clock::duration firstTickAfter{};
    const Clock::time_point start = Clock::now();
    RunBlocking(
        [&] {
            std::unique_lock lock(m);
            workThread = std::this_thread::get_id();
            ticked.wait_for(lock, 10s, [&] { return ticks >= 3; });
            ticksSeenByWork = ticks;
        },
        [&] {
            std::lock_guard lock(m);
            if (ticks++ == 0)
                firstTickAfter = Clock::now() - start;
            tickThread = std::this_thread::get_id();
            timerRanDuringWork |= timerRan;
            ticked.notify_all();
        },
        200ms, 20ms);
    EXPECT_GE(ticksSeenByWork, 3);
    EXPECT_GE(firstTickAfter, 200ms);
    EXPECT_EQ(tickThread, std::this_thread::get_id());
    EXPECT_NE(workThread, std::this_thread::get_id());
    EXPECT_FALSE(timerRanDuringWork || timerRan);
    QCoreApplication::processEvents();
    EXPECT_TRUE(timerRan);

    // Work that ends before the first delay is never ticked.
    ticks = 0;
    RunBlocking([] {}, [&] { ++ticks; }, 10s, 20ms);
    EXPECT_EQ(ticks, 0);

    EXPECT_THROW(RunBlocking([] { throw std::runtime_error("x"); }, [] {}, 10s, 20ms), std::runtime_error);
}
