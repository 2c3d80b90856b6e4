#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

// The synthetic library the search benchmarks walk: 100,000 files in 5,000
// folders up to 10 levels deep, about 70% named "*.jpg" in mixed capitals,
// the rest decoys. Always the same tree for the same numbers.
namespace search_tree {
constexpr int kFiles = 100000;
constexpr int kFolders = 5000;
constexpr int kMaxDepth = 10;

// Builds the tree under `root` (which exists). The pictures are empty files,
// or with `photo` given, hard links of it: a fresh copy every `linksPerCopy`
// links, below the file system's limit of links to one file. The decoys stay
// empty. Returns the number of files named like a picture.
inline int build(const std::string& root, const std::string& photo = {}, int linksPerCopy = 30000)
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
    std::string source;
    for (int i = 0; i < kFiles; ++i) {
        const Folder& folder = folders[1 + static_cast<std::size_t>(i) % kFolders];
        const bool picture = std::uniform_int_distribution<int>(0, 99)(random) < 70;
        const std::string path = folder.path + "/IMG_" + std::to_string(i) + (picture ? pictures[i % 4] : decoys[i % 5]);
        if (picture && !photo.empty()) {
            if (matching % linksPerCopy == 0) {
                source = path;
                if (std::system(("cp '" + photo + "' '" + path + "'").c_str()) != 0)
                    std::fprintf(stderr, "could not copy %s\n", photo.c_str());
            } else if (link(source.c_str(), path.c_str()) != 0) {
                std::perror(path.c_str());
            }
        } else {
            const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
            if (fd >= 0)
                close(fd);
        }
        matching += picture;
    }
    return matching;
}
}  // namespace search_tree
