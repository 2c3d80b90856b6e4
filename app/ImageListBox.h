#pragma once

#include <QByteArray>
#include <QListView>

#include <vector>

class ImageListModel;

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
    ImageListModel* model_;
};
