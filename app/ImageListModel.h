#pragma once

#include <QAbstractListModel>

#include "app/ImageList.h"

// A model over the image list. Display text is made only for the rows a view
// asks for, so a list of any length costs its paths and no per-row strings.
class ImageListModel : public QAbstractListModel, private ImageList::Observer {
    Q_OBJECT
public:
    static constexpr int PathRole = Qt::UserRole;  // the path's bytes

    ImageListModel(ImageList& list, QObject* parent = nullptr);
    ~ImageListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    ImageList& list() const { return list_; }

private:
    void aboutToReset() override { beginResetModel(); }
    void reset() override { endResetModel(); }
    void aboutToAppend(int first, int last) override { beginInsertRows({}, first, last); }
    void appended() override { endInsertRows(); }
    // A batch moves rows all over: laid out again, which with rows of one
    // height costs no more than a few inserts would.
    void aboutToInsertOrRemove() override { beginResetModel(); }
    void inserted(const std::vector<std::int32_t>&) override { endResetModel(); }
    void removed(const std::vector<std::int32_t>&) override { endResetModel(); }

    ImageList& list_;
};
