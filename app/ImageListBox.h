#pragma once

#include <QByteArray>
#include <QListView>

#include <vector>

#include "app/ImageList.h"

class ImageListModel;

// The image list's face (List1): shows the entries and makes the selection
// follow the list's current entry, and the list's current entry follow a
// click. The list box's members are the names the windows use for the list.
class ImageListBox : public QListView, private ImageList::Observer {
    Q_OBJECT
public:
    explicit ImageListBox(ImageList& list, QWidget* parent = nullptr);
    ~ImageListBox() override;

    int ListCount() const;
    // 0-based index of the current entry, -1 for none.
    int ListIndex() const;
    // The current entry's path as bytes; empty when nothing is current.
    QByteArray Text() const;
    // Makes entry i current and scrolls it into view. Throws std::out_of_range
    // for an index outside the list.
    void setSelected(int i);
    // True when entry i is the current entry.
    bool Selected(int i) const;
    void Clear();

    // Entry i's path; throws std::out_of_range outside the list.
    QByteArray List(int i) const;
    void AddItem(const QByteArray& path);
    // Appends many entries at once (a search result).
    void AddItems(std::vector<QByteArray>&& paths);

signals:
    // A double click on an entry, or Enter with an entry current.
    void DblClick();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void currentEntryChanged(int index) override;
    // The model was laid out again: the selection follows the current entry.
    void inserted(const std::vector<std::int32_t>&) override { currentEntryChanged(list_.current()); }
    void removed(const std::vector<std::int32_t>&) override { currentEntryChanged(list_.current()); }
    void selectionFollowsUser();

    ImageList& list_;
    ImageListModel* model_;
    bool following_ = false;  // the selection is being set from the list
};
