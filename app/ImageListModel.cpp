#include "app/ImageListModel.h"

#include "app/WindowText.h"

ImageListModel::ImageListModel(ImageList& list, QObject* parent) : QAbstractListModel(parent), list_(list)
{
    list_.addObserver(this);
}

ImageListModel::~ImageListModel() { list_.removeObserver(this); }

int ImageListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : list_.count();
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= list_.count())
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
    case Qt::AccessibleTextRole:
        return DisplayPath(list_.path(index.row()));
    case PathRole:
        return list_.path(index.row());
    default:
        return {};
    }
}
