#include "FolderTree.h"

#include <QDir>

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {
constexpr int kChainComponent = 200;
constexpr int kChainDepth = PATH_MAX / kChainComponent + 2;
const std::string kChainName(kChainComponent, 'd');

void check(bool ok, const QByteArray& what)
{
    if (!ok)
        throw std::runtime_error("cannot make " + what.toStdString());
}
}  // namespace

FolderTree::FolderTree(const QString& parent)
    : dir_((parent.isEmpty() ? QDir::tempPath() : parent) + "/marbleglen-XXXXXX"),
      root_(QFile::encodeName(dir_.path()))
{
}

FolderTree::~FolderTree()
{
    removeChain();
    // QTemporaryDir cannot remove names that are not valid UTF-8: remove
    // everything below the root by its bytes first.
    nftw(
        root_.constData(),
        [](const char* path, const struct stat*, int, FTW* ftw) {
            return ftw->level == 0 ? 0 : remove(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

void FolderTree::removeChain()
{
    if (chain_.isEmpty())
        return;
    // Walk down with relative opens, then remove from the deepest up.
    std::vector<int> fds{open(path(chain_).constData(), O_RDONLY | O_DIRECTORY)};
    for (int i = 0; i < kChainDepth - 1 && fds.back() >= 0; ++i)
        fds.push_back(openat(fds.back(), kChainName.c_str(), O_RDONLY | O_DIRECTORY));
    for (std::size_t i = fds.size(); i-- > 0;) {
        if (fds[i] >= 0)
            unlinkat(fds[i], kChainName.c_str(), AT_REMOVEDIR);
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
}

void FolderTree::parents(const QByteArray& relative)
{
    const qsizetype slash = relative.lastIndexOf('/');
    if (slash > 0)
        folder(relative.left(slash));
}

void FolderTree::folder(const QByteArray& relative)
{
    QByteArray sofar;
    for (const QByteArray& part : relative.split('/')) {
        sofar += (sofar.isEmpty() ? "" : "/") + part;
        if (mkdir(path(sofar).constData(), 0755) != 0 && errno != EEXIST)
            check(false, sofar);
    }
}

void FolderTree::files(const std::vector<QByteArray>& relatives)
{
    for (const QByteArray& relative : relatives) {
        parents(relative);
        const int fd = open(path(relative).constData(), O_CREAT | O_WRONLY, 0644);
        check(fd >= 0, relative);
        close(fd);
    }
}

void FolderTree::link(const QByteArray& relative, const QByteArray& target)
{
    parents(relative);
    check(symlink(target.constData(), path(relative).constData()) == 0, relative);
}

void FolderTree::fifo(const QByteArray& relative)
{
    parents(relative);
    check(mkfifo(path(relative).constData(), 0644) == 0, relative);
}

void FolderTree::linkChain(const QByteArray& relative, int levels, int ways)
{
    for (int level = 0; level <= levels; ++level) {
        const QByteArray folder = relative + "/c" + QByteArray::number(level);
        files({folder + "/p.jpg"});
        for (int way = 0; way < ways && level < levels; ++way)
            link(folder + "/w" + QByteArray::number(way), "../c" + QByteArray::number(level + 1));
    }
}

void FolderTree::tooLongChain(const QByteArray& relative)
{
    folder(relative);
    chain_ = relative;
    int fd = open(path(relative).constData(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < kChainDepth && fd >= 0; ++i) {
        check(mkdirat(fd, kChainName.c_str(), 0755) == 0, "chain");
        const int next = openat(fd, kChainName.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    if (fd >= 0)
        close(fd);
}

std::vector<QByteArray> relativeTo(const QByteArray& root, const std::vector<QByteArray>& paths)
{
    std::vector<QByteArray> out;
    for (const QByteArray& p : paths)
        out.push_back(p.startsWith(root + "/") ? p.mid(root.size() + 1) : p);
    return out;
}
