#include "app/ImageListBox.h"

#include <stdexcept>

ImageListBox::ImageListBox(QWidget* parent) : QListView(parent) { setObjectName("List1"); }

int ImageListBox::ListCount() const { return 0; }
int ImageListBox::ListIndex() const { return -1; }
QByteArray ImageListBox::Text() const { return {}; }
void ImageListBox::setSelected(int) { throw std::out_of_range("List1: index outside the list"); }
void ImageListBox::Clear() {}
