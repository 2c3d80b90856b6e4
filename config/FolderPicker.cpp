#include "config/FolderPicker.h"

#include <QFileDialog>
#include <QMouseEvent>

namespace {
QString QtFolderChooser(QWidget* owner, const QString& title)
{
    // No start folder: each browse starts afresh, not at the folder in the box.
    return QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
}

FolderChooser& Chooser()
{
    static FolderChooser chooser = QtFolderChooser;
    return chooser;
}
}  // namespace

QString ChooseFolder(QWidget* owner, const QString& title) { return Chooser()(owner, title); }

void SetFolderChooser(FolderChooser chooser)
{
    Chooser() = chooser ? std::move(chooser) : FolderChooser(QtFolderChooser);
}

void ClickablePicture::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}
