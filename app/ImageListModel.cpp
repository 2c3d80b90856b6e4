#include "app/ImageListModel.h"

#include "app/WindowText.h"

int ImageListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
    case Qt::AccessibleTextRole:
        return DisplayPath(path(index.row()));
    case PathRole:
        return path(index.row());
    default:
        return {};
    }
}

void ImageListModel::clear()
{
    beginResetModel();
    paths_.clear();
    paths_.shrink_to_fit();
    endResetModel();
}

void ImageListModel::append(const QByteArray& path)
{
    beginInsertRows({}, count(), count());
    paths_.push_back(path);
    endInsertRows();
}

void ImageListModel::append(std::vector<QByteArray>&& paths)
{
    if (paths.empty())
        return;
    if (paths_.empty()) {
        // A reset instead of an insert: the view lays out the rows once.
        beginResetModel();
        paths_ = std::move(paths);
        endResetModel();
        return;
    }
    const int first = count();
    beginInsertRows({}, first, first + static_cast<int>(paths.size()) - 1);
    paths_.insert(paths_.end(), std::make_move_iterator(paths.begin()),
                  std::make_move_iterator(paths.end()));
    endInsertRows();
}
