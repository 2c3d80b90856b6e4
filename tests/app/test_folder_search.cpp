// The folder walk on real folder trees.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "FolderTree.h"
#include "app/FolderWalk.h"

namespace {
struct Result {
    std::vector<QByteArray> found;  // relative to the tree
    std::int64_t files = 0, dirs = 0;
};

Result search(const FolderTree& tree, QByteArray path)
{
    Result r;
    std::vector<QByteArray> found;
    FindFiles(path, "*.jpg", r.files, r.dirs, found);
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
