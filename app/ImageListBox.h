#pragma once

#include <QByteArray>
#include <QListView>

// The image list (List1): entries are full paths of picture files, kept as the
// file system's bytes so that any name can be opened again. The current entry is
// the selection.
class ImageListBox : public QListView {
    Q_OBJECT
public:
    explicit ImageListBox(QWidget* parent = nullptr);

    int ListCount() const;
    // 0-based index of the current entry, -1 for none.
    int ListIndex() const;
    // The current entry's path as bytes; empty when nothing is current.
    QByteArray Text() const;
    // Makes entry i current and scrolls it into view. Throws std::out_of_range
    // for an index outside the list.
    void setSelected(int i);
    void Clear();
};
