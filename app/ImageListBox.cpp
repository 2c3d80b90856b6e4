#include "app/ImageListBox.h"

#include <QKeyEvent>

#include "app/ImageListModel.h"

ImageListBox::ImageListBox(ImageList& list, QWidget* parent)
    : QListView(parent), list_(list), model_(new ImageListModel(list, this))
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
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, &ImageListBox::selectionFollowsUser);
    list_.addObserver(this);
    if (list_.current() >= 0)
        currentEntryChanged(list_.current());
}

ImageListBox::~ImageListBox() { list_.removeObserver(this); }

void ImageListBox::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && ListIndex() >= 0) {
        event->accept();
        emit DblClick();
        return;
    }
    QListView::keyPressEvent(event);
}

void ImageListBox::currentEntryChanged(int index)
{
    following_ = true;
    if (index < 0) {
        selectionModel()->clearSelection();
    } else {
        const QModelIndex row = model_->index(index);
        selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect);
        scrollTo(row);
    }
    following_ = false;
}

// A click, a key or a model reset moved the selection: the list follows.
void ImageListBox::selectionFollowsUser()
{
    if (following_)
        return;
    const QModelIndexList rows = selectionModel()->selectedIndexes();
    const int row = rows.isEmpty() ? -1 : rows.first().row();
    if (row != list_.current() && row < list_.count())
        list_.select(row);
}

int ImageListBox::ListCount() const { return list_.count(); }

int ImageListBox::ListIndex() const { return list_.current(); }

QByteArray ImageListBox::Text() const { return list_.currentPath(); }

void ImageListBox::setSelected(int i)
{
    if (i < 0)
        list_.path(i);  // throws: a negative index is outside the list
    list_.select(i);
}

bool ImageListBox::Selected(int i) const { return ListIndex() == i && i >= 0; }

void ImageListBox::Clear() { list_.clear(); }

QByteArray ImageListBox::List(int i) const { return list_.path(i); }

void ImageListBox::AddItem(const QByteArray& path) { list_.append(path); }

void ImageListBox::AddItems(std::vector<QByteArray>&& paths) { list_.append(std::move(paths)); }
