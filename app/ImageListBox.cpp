#include "app/ImageListBox.h"

#include <QKeyEvent>

#include <stdexcept>

#include "app/ImageListModel.h"

ImageListBox::ImageListBox(QWidget* parent) : QListView(parent), model_(new ImageListModel(this))
{
    setObjectName("List1");
    setModel(model_);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Every row has the same height: the view then never measures rows one by
    // one, which keeps a list of a hundred thousand paths instant.
    setUniformItemSizes(true);
    setTextElideMode(Qt::ElideMiddle);
    QPalette p = palette();
    p.setColor(QPalette::Base, Qt::white);
    setPalette(p);
    setAccessibleName("Image List");
    connect(this, &QListView::doubleClicked, this, &ImageListBox::DblClick);
}

void ImageListBox::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && ListIndex() >= 0) {
        event->accept();
        emit DblClick();
        return;
    }
    QListView::keyPressEvent(event);
}

int ImageListBox::ListCount() const { return model_->count(); }

int ImageListBox::ListIndex() const
{
    const QModelIndexList rows = selectionModel()->selectedIndexes();
    return rows.isEmpty() ? -1 : rows.first().row();
}

QByteArray ImageListBox::Text() const
{
    const int i = ListIndex();
    return i < 0 ? QByteArray() : model_->path(i);
}

void ImageListBox::setSelected(int i)
{
    if (i < 0 || i >= ListCount())
        throw std::out_of_range("List1: index outside the list");
    const QModelIndex index = model_->index(i);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    scrollTo(index);
}

bool ImageListBox::Selected(int i) const { return ListIndex() == i && i >= 0; }

void ImageListBox::Clear() { model_->clear(); }

QByteArray ImageListBox::List(int i) const
{
    if (i < 0 || i >= ListCount())
        throw std::out_of_range("List1: index outside the list");
    return model_->path(i);
}

void ImageListBox::AddItem(const QByteArray& path) { model_->append(path); }

void ImageListBox::AddItems(std::vector<QByteArray>&& paths) { model_->append(std::move(paths)); }
