#pragma once

#include <QByteArray>
#include <QTemporaryDir>

#include <vector>

// A real folder tree in a temporary folder, built from relative paths (bytes,
// "/"-separated). Parent folders are made as needed; files are empty.
class FolderTree {
public:
    // In the system's temporary folder, or in `parent` when given.
    explicit FolderTree(const QString& parent = {});
    ~FolderTree();

    QByteArray root() const { return root_; }
    QByteArray path(const QByteArray& relative) const { return root_ + "/" + relative; }

    void files(const std::vector<QByteArray>& relatives);
    void folder(const QByteArray& relative);
    void link(const QByteArray& relative, const QByteArray& target);
    void fifo(const QByteArray& relative);
    // Folders relative/c0 to relative/c<levels>, each holding p.jpg and
    // `ways` links to the next: 2 ways give 2^levels ways down to the last.
    void linkChain(const QByteArray& relative, int levels, int ways);
    // A chain of nested folders below `relative` whose full path is longer
    // than the system can open by name.
    void tooLongChain(const QByteArray& relative);

private:
    void parents(const QByteArray& relative);
    void removeChain();

    QTemporaryDir dir_;
    QByteArray root_;
    QByteArray chain_;  // removed by hand: too deep for ordinary removal
};

// Paths relative to `root`, for comparing search results.
std::vector<QByteArray> relativeTo(const QByteArray& root, const std::vector<QByteArray>& paths);
