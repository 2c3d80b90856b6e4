// The folder search on a synthetic library of 100,000 files in 5,000 folders
// up to 10 levels deep (about 70% pictures named "*.jpg" in mixed capitals,
// the rest decoys). Measured in one run, interleaved, medians over the rounds:
//   (a) find TREE -iname '*.jpg'          the baseline
//   (b) the walk producing the image list without a window
//   (c) a folder-caption click, list filled and first painted (offscreen)
// and, last, 100,000 entries filled into the list and first painted.
// Usage: bench_search [ROUNDS [TREE]]   (default 5 rounds, a temporary tree)
// A TREE folder that exists already is measured as it stands; one that does
// not is built and kept, so later runs can skip building.
#include <QApplication>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/FolderWalk.h"
#include "app/ImageListBox.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"

namespace {
constexpr int kFiles = 100000;
constexpr int kFolders = 5000;
constexpr int kMaxDepth = 10;

// Builds the tree; returns the number of files named like a picture.
int buildTree(const std::string& root)
{
    std::mt19937 random(20240611);
    struct Folder {
        std::string path;
        int depth;
    };
    std::vector<Folder> folders{{root, 0}};
    for (int i = 0; i < kFolders; ++i) {
        // A random parent that still leaves room below it.
        const Folder* parent;
        do
            parent = &folders[std::uniform_int_distribution<std::size_t>(0, folders.size() - 1)(random)];
        while (parent->depth >= kMaxDepth);
        Folder folder{parent->path + "/Folder " + std::to_string(i), parent->depth + 1};
        if (mkdir(folder.path.c_str(), 0755) != 0)
            std::perror(folder.path.c_str());
        folders.push_back(std::move(folder));
    }
    const char* pictures[] = {".jpg", ".JPG", ".Jpg", ".jPg"};
    const char* decoys[] = {".jpeg", ".jpg.bak", ".png", ".JPEG", ".txt"};
    int matching = 0;
    for (int i = 0; i < kFiles; ++i) {
        const Folder& folder = folders[1 + static_cast<std::size_t>(i) % kFolders];
        const bool picture = std::uniform_int_distribution<int>(0, 99)(random) < 70;
        const std::string name = "IMG_" + std::to_string(i) +
                                 (picture ? pictures[i % 4] : decoys[i % 5]);
        matching += picture;
        const int fd = open((folder.path + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0)
            close(fd);
    }
    return matching;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Times {
    double wall, cpu;  // ms
};

// Processor time of this process and of its finished children.
double cpuMs()
{
    double ms = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        getrusage(who, &u);
        for (const timeval& t : {u.ru_utime, u.ru_stime})
            ms += static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    }
    return ms;
}

// Wall time, and processor time (which a busy machine disturbs less).
Times timeMs(const std::function<void()>& run)
{
    const double cpu = cpuMs();
    QElapsedTimer clock;
    clock.start();
    run();
    return {static_cast<double>(clock.nsecsElapsed()) / 1e6, cpuMs() - cpu};
}
}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir settings, tree;
    setenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit().constData(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    const std::string root = argc > 2 ? std::string(argv[2]) : tree.path().toStdString() + "/library";
    if (struct stat st {}; stat(root.c_str(), &st) != 0) {
        mkdir(root.c_str(), 0755);
        std::printf("building the tree in %s ...\n", root.c_str());
        const int matching = buildTree(root);
        std::printf("%d files, %d named *.jpg, %d folders up to %d levels\n", kFiles, matching,
                    kFolders, kMaxDepth);
    }

    {
        cRegistry reg = AppSettings::Open();
        reg.setValueKey("varImagePath1");
        reg.setValue(Variant(root));
    }
    setMsgBoxHook([](const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });
    frmSearch::Data data;
    frmSearch window(data);
    window.Form_Load();
    window.show();
    QApplication::processEvents();

    const std::string find = "find '" + root + "' -iname '*.jpg' > /dev/null";
    std::vector<Times> a, b, c;
    std::size_t listed = 0;
    for (int round = 0; round <= rounds; ++round) {  // round 0 warms the caches
        const Times ta = timeMs([&] {
            if (std::system(find.c_str()) != 0)
                std::fprintf(stderr, "find failed\n");
        });
        const Times tb = timeMs([&] {
            QByteArray path(root.c_str());
            std::int64_t files = 0, dirs = 0;
            std::vector<QByteArray> found;
            FindFiles(path, "*.jpg", files, dirs, found);
            listed = found.size();
        });
        const Times tc = timeMs([&] {
            window.lblImageCaption1_Click();
            window.List1->viewport()->repaint();
        });
        if (round > 0) {
            a.push_back(ta);
            b.push_back(tb);
            c.push_back(tc);
        }
    }
    std::printf("listed %zu; window: %d entries, status \"%s\"\n", listed, window.List1->ListCount(),
                qPrintable(window.StatusBar1->currentMessage()));
    std::printf("medians over %d rounds (wall time; processor time in brackets):\n", rounds);
    auto wall = [](const std::vector<Times>& t) {
        std::vector<double> v;
        for (const Times& x : t)
            v.push_back(x.wall);
        return median(v);
    };
    auto cpu = [](const std::vector<Times>& t) {
        std::vector<double> v;
        for (const Times& x : t)
            v.push_back(x.cpu);
        return median(v);
    };
    const double ma = wall(a), mb = wall(b), mc = wall(c);
    const double pa = cpu(a), pb = cpu(b), pc = cpu(c);
    std::printf("  (a) find -iname '*.jpg'        %8.1f ms (%6.1f)\n", ma, pa);
    std::printf("  (b) walk, image list           %8.1f ms (%6.1f)   b/a = %.2f (%.2f)\n", mb, pb,
                mb / ma, pb / pa);
    std::printf("  (c) click, filled and painted  %8.1f ms (%6.1f)   c/a = %.2f (%.2f)   c-b = %.1f ms\n",
                mc, pc, mc / ma, pc / pa, mc - mb);

    // The list alone: 100,000 entries filled and first painted.
    std::vector<double> fill;
    for (int round = 0; round < rounds; ++round) {
        std::vector<QByteArray> paths;
        for (int i = 0; i < kFiles; ++i)
            paths.push_back("/photos/Folder " + QByteArray::number(i / 20) + "/IMG_" + QByteArray::number(i) + ".jpg");
        window.List1->Clear();
        fill.push_back(timeMs([&] {
                           window.List1->AddItems(std::move(paths));
                           window.List1->viewport()->repaint();
                       }).wall);
    }
    std::printf("  100,000 entries filled and first painted: %.1f ms\n", median(fill));
    return 0;
}
