#pragma once

#include <QAbstractListModel>
#include <QByteArray>

#include <vector>

// The image list's entries: full paths as the file system's bytes. Display text
// is made only for the rows a view asks for, so a list of any length costs one
// vector of paths and no per-row strings.
class ImageListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int PathRole = Qt::UserRole;  // the path's bytes

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    const QByteArray& path(int row) const { return paths_[static_cast<std::size_t>(row)]; }
    int count() const { return static_cast<int>(paths_.size()); }

    void clear();
    void append(const QByteArray& path);
    void append(std::vector<QByteArray>&& paths);

private:
    std::vector<QByteArray> paths_;
};
