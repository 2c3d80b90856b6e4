// The folder walk on real folder trees.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "FolderTree.h"
#include "app/FolderWalk.h"
#include "app/NaturalOrder.h"

namespace {
struct Result {
    std::vector<QByteArray> found;  // relative to the tree
    std::int64_t files = 0, dirs = 0, notSearched = 0;
};

Result search(const FolderTree& tree, QByteArray path)
{
    Result r;
    std::vector<QByteArray> found;
    FindFiles(path, "*.jpg", r.files, r.dirs, r.notSearched, found);
    r.found = relativeTo(tree.root(), found);
    return r;
}

Result search(const FolderTree& tree) { return search(tree, tree.root()); }
using Names = std::vector<QByteArray>;
}  // namespace

TEST(FolderWalk, ListsOwnFilesFirstThenSubFoldersInNaturalOrder)
{
    struct Case {
        const char* what;
        Names files;
        Names folders;
        Names expected;
        std::int64_t dirs;
    } cases[] = {
        {"three files, one folder", {"b.JPG", "a.jpg", "c.Jpg", "d.jpeg", "e.jpg.bak", "f.png"}, {},
         {"a.jpg", "b.JPG", "c.Jpg"}, 0},
        {"files before sub-folders, depth first",
         {"sub/x.jpg", "10.jpg", "2.jpg", "sub/deeper/y.JPG", "zz/z.jpg"}, {"sub/empty"},
         {"2.jpg", "10.jpg", "sub/x.jpg", "sub/deeper/y.JPG", "zz/z.jpg"}, 4},
        {"natural order, case ignored",
         {"IMG_10.jpg", "img_2.JPG", "Img_1.jpg", "B.jpg", "a.jpg", "Sub10/a.jpg", "sub9/a.jpg"}, {},
         {"a.jpg", "B.jpg", "Img_1.jpg", "img_2.JPG", "IMG_10.jpg", "sub9/a.jpg", "Sub10/a.jpg"}, 2},
        {"a folder named like a picture is searched, never listed", {"x.jpg/inner.jpg"}, {},
         {"x.jpg/inner.jpg"}, 1},
        {"one sub-folder only", {}, {"only"}, {}, 1},
        {"hidden files are files like any other", {".hidden.jpg", ".dir/a.jpg"}, {},
         {".hidden.jpg", ".dir/a.jpg"}, 1},
    };
    for (const Case& c : cases) {
        FolderTree tree;
        tree.files(c.files);
        for (const QByteArray& f : c.folders)
            tree.folder(f);
        const Result r = search(tree);
        EXPECT_EQ(r.found, c.expected) << c.what;
        EXPECT_EQ(r.files, static_cast<std::int64_t>(c.expected.size())) << c.what;
        EXPECT_EQ(r.dirs, c.dirs) << c.what;
        EXPECT_EQ(r.notSearched, 0) << c.what;
    }
}

TEST(FolderWalk, GivesTheSameListWithOrWithoutTrailingSlash)
{
    FolderTree tree;
    tree.files({"a.jpg", "s/b.jpg"});
    QByteArray plain = tree.root(), slashed = tree.root() + "/";
    const Result a = search(tree, plain), b = search(tree, slashed);
    EXPECT_EQ(a.found, b.found);
    EXPECT_EQ(a.found, (Names{"a.jpg", "s/b.jpg"}));
}

TEST(FolderWalk, MissingFolderYieldsNothingButStillCounts)
{
    FolderTree tree;
    const Result r = search(tree, tree.path("missing"));
    EXPECT_TRUE(r.found.empty());
    EXPECT_EQ(r.files, 0);
    EXPECT_EQ(r.dirs, 0);
}

TEST(FolderWalk, StrangeEntriesNeitherHangNorGetListed)
{
    FolderTree tree;
    tree.files({"real.jpg", "a/pic.jpg"});
    tree.link("a/loop", "..");                  // a cycle back to the top
    tree.link("self", ".");                     // a cycle onto itself
    tree.link("again", "a");                    // a second way into a: searched again
    tree.link("ghost.jpg", "nowhere");          // unreadable: counts as a folder
    tree.link("linked.jpg", "real.jpg");        // a link to a picture is a picture
    tree.fifo("pipe.jpg");                      // must never be opened
    tree.tooLongChain("deep");                  // below here nothing can be opened
    tree.files({"\xE9t\xE9.jpg"});              // Latin-1 name on a UTF-8 system

    QElapsedTimer clock;
    clock.start();
    const Result r = search(tree);
    EXPECT_LT(clock.elapsed(), 5000);

    EXPECT_EQ(r.found, (Names{"linked.jpg", "real.jpg", "\xE9t\xE9.jpg", "a/pic.jpg", "again/pic.jpg"}));
    // a, a/loop, again, again/loop, deep and its searchable part of the chain,
    // ghost.jpg, self.
    EXPECT_EQ(r.files, 5);
    std::int64_t chainSearched = 0;
    for (std::int64_t len = tree.path("deep/").size(); len < PATH_MAX; len += 201)
        ++chainSearched;
    EXPECT_EQ(r.dirs, 7 + chainSearched);
    EXPECT_EQ(r.notSearched, 0);
}

TEST(FolderWalk, HasNoCountLimit)
{
    FolderTree tree;
    Names names;
    for (int i = 0; i < 33000; ++i)
        names.push_back((i % 2 ? "a/" : "b/") + QByteArray::number(i) + ".jpg");
    tree.files(names);
    const Result r = search(tree);
    EXPECT_EQ(r.files, 33000);
    EXPECT_EQ(r.dirs, 2);
    ASSERT_EQ(r.found.size(), 33000u);
    EXPECT_EQ(r.found.front(), "a/1.jpg");
    EXPECT_EQ(r.found.back(), "b/32998.jpg");
}

namespace {
// Folder modes that make a folder unlistable or its entries unreadable. They
// bind root only through another user: see AsUserIfRoot.
constexpr mode_t kNarrowModes[] = {0000, 0100, 0300, 0400, 0500};

// While it lives, the process acts as "nobody" when it runs as root, so that
// folder modes bind the walk as they bind any user.
class AsUserIfRoot {
public:
    AsUserIfRoot()
    {
        if (geteuid() != 0)
            return;
        const passwd* nobody = getpwnam("nobody");
        if (seteuid(nobody ? nobody->pw_uid : 65534) == 0)
            switched_ = true;
    }
    ~AsUserIfRoot()
    {
        if (switched_ && seteuid(0) != 0)
            std::abort();  // the rest of the tests would run as someone else
    }

private:
    bool switched_ = false;
};

// A random tree: depth, fan-out, file names (natural order, case, decoys, bytes
// that are not UTF-8), links (cycles, second ways in, to files, dangling,
// looping), FIFOs, narrow folder modes and, now and then, a chain deeper than
// the folders a walk keeps open.
struct RandomTree {
    FolderTree tree;
    std::vector<std::pair<QByteArray, mode_t>> narrowed;  // given back before removal

    // Hundreds of small trees: in memory where the system offers it, which
    // makes them a matter of milliseconds rather than of disk journalling.
    static QString place() { return QFileInfo("/dev/shm").isWritable() ? "/dev/shm" : QString(); }

    explicit RandomTree(std::mt19937& random) : tree(place())
    {
        auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
        static const char* const stems[] = {"IMG_2", "img_10", "Img_1", "a", "B", "\xE9t\xE9", "x\xFF", ".h", "IMG_02"};
        static const char* const endings[] = {".jpg", ".JPG", ".Jpg", ".jpeg", ".png", ""};
        std::vector<QByteArray> folders{""};
        const int depth = 1 + pick(5), fanOut = 1 + pick(4);
        std::vector<std::pair<QByteArray, int>> open{{"", 0}};
        while (!open.empty()) {
            const auto [folder, level] = open.back();
            open.pop_back();
            const QByteArray prefix = folder.isEmpty() ? QByteArray() : folder + "/";
            tree.folder(folder.isEmpty() ? "." : folder);
            std::vector<QByteArray> names;
            for (int i = pick(6); i > 0; --i)
                names.push_back(prefix + stems[pick(std::size(stems))] + endings[pick(std::size(endings))]);
            names.erase(std::unique(names.begin(), names.end()), names.end());
            tree.files(names);
            if (level < depth)
                for (int i = pick(fanOut + 1); i > 0; --i) {
                    const QByteArray sub = prefix + "d" + QByteArray::number(pick(12)) + (pick(4) ? "" : ".jpg");
                    if (std::find(folders.begin(), folders.end(), sub) == folders.end()) {
                        folders.push_back(sub);
                        open.push_back({sub, level + 1});
                    }
                }
        }
        if (pick(8) == 0) {  // deeper than a walk keeps open, with a cycle at the bottom
            QByteArray chain = folders[pick(static_cast<int>(folders.size()))];
            for (int i = 0; i < 66 + pick(6); ++i)
                chain += (chain.isEmpty() ? "" : "/") + QByteArray("c");
            tree.files({chain + "/deep.jpg"});
            tree.link(chain + "/up", "../../../..");
        }
        for (int i = pick(6); i > 0; --i) {
            const QByteArray at = folders[pick(static_cast<int>(folders.size()))];
            const QByteArray name = (at.isEmpty() ? "" : at + "/") + "l" + QByteArray::number(i);
            switch (pick(6)) {
            case 0: tree.link(name, at.isEmpty() ? "." : ".."); break;  // a cycle, never out of the tree
            case 1: tree.link(name, "."); break;
            case 2: tree.link(name, tree.path(folders[pick(static_cast<int>(folders.size()))])); break;
            case 3: tree.link(name + ".jpg", "nowhere"); break;
            case 4: tree.link(name + ".jpg", name.mid(name.lastIndexOf('/') + 1) + ".jpg"); break;  // loops
            case 5: tree.fifo(name + ".jpg"); break;
            }
        }
        if (pick(3) == 0) {  // diamonds: each folder reached through 2 or 3 links from the one above
            const QByteArray at = folders[pick(static_cast<int>(folders.size()))];
            const QByteArray chain = (at.isEmpty() ? "" : at + "/") + "dm";
            const int levels = 2 + pick(9);
            tree.linkChain(chain, levels, 2 + pick(2));
            if (pick(2) == 0)  // and a cycle from the bottom back to the top
                tree.link(chain + "/c" + QByteArray::number(levels) + "/up", "../c0");
        }
        for (std::size_t i = 1; i < folders.size(); ++i)
            if (pick(10) == 0) {
                const mode_t mode = kNarrowModes[pick(std::size(kNarrowModes))];
                narrowed.push_back({folders[i], mode});
            }
        // Narrowest last: a folder's mode is set after everything below it.
        for (auto it = narrowed.rbegin(); it != narrowed.rend(); ++it)
            chmod(tree.path(it->first).constData(), it->second);
        chmod(tree.root().constData(), 0755);  // reachable for "nobody"
    }

    ~RandomTree()
    {
        for (const auto& [folder, mode] : narrowed)
            chmod(tree.path(folder).constData(), 0755);
    }
};

struct Walked {
    std::vector<QByteArray> found;
    std::int64_t files = 0, dirs = 0, notSearched = 0;
    bool operator==(const Walked&) const = default;
};

Walked walkInTurn(const QByteArray& root)
{
    Walked w;
    QByteArray path = root;
    FindFilesInTurn(path, "*.jpg", w.files, w.dirs, w.notSearched, w.found);
    return w;
}

Walked walkAtOnce(const QByteArray& root, int threads, std::atomic<std::int64_t>* progress = nullptr)
{
    Walked w;
    QByteArray path = root;
    FindFiles(path, "*.jpg", w.files, w.dirs, w.notSearched, w.found, progress, threads);
    return w;
}
}  // namespace

// Links that multiply the ways into a folder at every level: a folder is
// searched on its first 8 visits only, so the work grows with the tree, not
// with the ways through it. Both walks agree.
TEST(FolderWalk, SearchesAFolderAtMostEightTimesHoweverManyLinksLeadThere)
{
    static_assert(kMaxSearchesPerFolder == 8);
    struct Case {
        int levels, ways;
        std::int64_t files, dirs, notSearched;
    } cases[] = {
        {3, 2, 15, 14, 0},       // 8 ways into the last folder: each one searched
        {8, 3, 60, 156, 97},     // 3^8 ways down
        {40, 2, 311, 606, 296},  // 41 folders, 80 links: 2^40 ways down
    };
    for (const Case& c : cases) {
        FolderTree tree;
        tree.linkChain("chain", c.levels, c.ways);
        QElapsedTimer clock;
        clock.start();
        const Walked atOnce = walkAtOnce(tree.path("chain/c0"), kWalkThreads);
        // Stops at the first case that fails: past it, a walk without the
        // bound would not end.
        ASSERT_EQ(atOnce.files, c.files) << c.levels << " levels";
        ASSERT_EQ(atOnce.dirs, c.dirs) << c.levels << " levels";
        ASSERT_EQ(atOnce.notSearched, c.notSearched) << c.levels << " levels";
        EXPECT_EQ(walkInTurn(tree.path("chain/c0")), atOnce) << c.levels << " levels";
        EXPECT_LT(clock.elapsed(), 5000) << c.levels << " levels";
    }
}

// The parallel walk against the walk in turn on 300 random trees (what they
// vary: see RandomTree), with 1 to 16 threads.
TEST(FolderWalk, ParallelWalkGivesTheListAndCountsOfTheWalkInTurn)
{
    std::mt19937 random(20261208);
    constexpr int threadCounts[] = {1, 2, 3, 8, kWalkThreads};
    int narrowFolders = 0, deepChains = 0, boundedTrees = 0;
    for (int i = 0; i < 300; ++i) {
        RandomTree t(random);
        narrowFolders += static_cast<int>(t.narrowed.size());
        const int threads = threadCounts[i % std::size(threadCounts)];
        AsUserIfRoot user;
        const Walked inTurn = walkInTurn(t.tree.root());
        std::atomic<std::int64_t> progress{0};
        const Walked atOnce = walkAtOnce(t.tree.root(), threads, &progress);
        deepChains += std::any_of(inTurn.found.begin(), inTurn.found.end(),
                                  [](const QByteArray& p) { return p.endsWith("/deep.jpg"); });
        boundedTrees += inTurn.notSearched > 0;
        ASSERT_EQ(atOnce, inTurn) << "tree " << i << " with " << threads << " threads";
        EXPECT_EQ(progress.load(), atOnce.files) << "tree " << i;
    }
    // The generator reaches what it is meant to.
    EXPECT_GT(narrowFolders, 30);
    EXPECT_GT(deepChains, 10);
    EXPECT_GT(boundedTrees, 30);
}

// Deeper than the folders it may hold open under a low descriptor limit: the
// parallel walk opens the parents again and still gives the same list.
TEST(FolderWalk, ParallelWalkUnderALowDescriptorLimitGivesTheSameList)
{
    FolderTree tree;
    QByteArray level;
    for (int i = 0; i < 40; ++i) {
        level += (level.isEmpty() ? "" : "/") + QByteArray("n");
        tree.files({level + "/side/s.jpg", level + "/a.jpg"});
    }
    const Walked inTurn = walkInTurn(tree.root());
    ASSERT_EQ(inTurn.files, 80);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;  // at most 16 folders held open
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const Walked atOnce = walkAtOnce(tree.root(), 1);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(atOnce, inTurn);
}

// A picture that appears later is put where a search puts it: the search's
// own list, shuffled and sorted by SearchOrderLess, is that list again. On
// names that sort across the file/folder line ("a.jpg" and "a/", "b.jpg"
// after "a/z.jpg" but before it in the list), numbers, case, bytes that are
// not UTF-8, and on the random trees, links and all.
TEST(FolderWalk, SearchOrderPutsEveryPathWhereTheSearchDoes)
{
    std::mt19937 random(22);
    auto sortedAgain = [&random](const QByteArray& root) {
        std::vector<QByteArray> found;
        QByteArray path = root;
        std::int64_t files = 0, dirs = 0, notSearched = 0;
        FindFiles(path, "*.jpg", files, dirs, notSearched, found);
        std::vector<QByteArray> sorted = found;
        std::shuffle(sorted.begin(), sorted.end(), random);
        std::sort(sorted.begin(), sorted.end(), [](const QByteArray& a, const QByteArray& b) {
            return SearchOrderLess(a.toStdString(), b.toStdString());
        });
        return std::make_pair(found, sorted);
    };
    const Names trees[] = {
        {"b.jpg", "a/z.jpg", "a.jpg", "A b.jpg", "a b/c.jpg", "a.b/c.jpg", "a-b/c.jpg", "IMG_10.jpg", "IMG_9.jpg",
         "img_9/x.jpg", "x.jpg/in.jpg", "1/2/3.jpg", "1/2.jpg", "10/1.jpg", "9/1.jpg", "09/1.jpg", "a/b/c/d.jpg",
         "a/b.jpg", "a/b c.jpg", "\xE9t\xE9.jpg", "\xE9t\xE9/a.jpg", "Z.JPG", "z/Z.jpg", "~.jpg", "_/a.jpg"},
        {"only/deep/down/p.jpg"},
        {},
    };
    for (const Names& names : trees) {
        FolderTree tree;
        tree.files(names);
        for (const QByteArray& root : {tree.root(), tree.root() + "/"}) {
            const auto [found, sorted] = sortedAgain(root);
            EXPECT_EQ(found.size(), names.size()) << root.toStdString();
            EXPECT_EQ(relativeTo(tree.root(), sorted), relativeTo(tree.root(), found)) << root.toStdString();
        }
    }
    for (int i = 0; i < 100; ++i) {
        RandomTree t(random);
        const auto [found, sorted] = sortedAgain(t.tree.root());
        ASSERT_EQ(relativeTo(t.tree.root(), sorted), relativeTo(t.tree.root(), found)) << "tree " << i;
    }
}
