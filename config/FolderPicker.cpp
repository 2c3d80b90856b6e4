#include "config/FolderPicker.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMouseEvent>

#include <sys/stat.h>

#include "app/ProgramContext.h"
#include "config/PathOnDisk.h"

namespace {
const QString kAmbiguousFolder =
    "The folder \"%1\" cannot be told apart from another folder whose name looks the same: "
    "their names are not valid text. Rename one of them, or choose another folder.";

// Qt's directory chooser, answering with the chosen folder's bytes.
class FolderDialog : public QFileDialog {
public:
    FolderDialog(QWidget* owner, const QString& title, ProgramContext& program)
        : QFileDialog(owner, title), program_(program)
    {
        // No start folder: each browse starts afresh, not at the folder in the box.
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly);
    }

    // The accepted folder's bytes; a platform's own chooser may answer
    // without passing through accept() below.
    QByteArray chosen() const
    {
        if (!chosen_.isEmpty())
            return chosen_;
        const PathOnDisk found = FindPathOnDisk(selectedFiles().value(0));
        return found.bytes;
    }

    void accept() override
    {
        const QString shown = selectedFiles().value(0);
        // A name that is not valid text is shown with replacement characters,
        // and by that text the chooser would not find it: look it up by bytes.
        if (!shown.isEmpty() && !QFileInfo::exists(shown)) {
            const PathOnDisk found = FindPathOnDisk(shown);
            if (found.outcome == PathOnDisk::Ambiguous) {
                program_.MsgBox(kAmbiguousFolder.arg(shown));
                return;
            }
            struct stat st {};
            if (found.outcome == PathOnDisk::Found && ::stat(found.bytes.constData(), &st) == 0
                && S_ISDIR(st.st_mode)) {
                chosen_ = found.bytes;
                QDialog::accept();
                return;
            }
        }
        QFileDialog::accept();  // its own checks and messages
    }

private:
    ProgramContext& program_;
    QByteArray chosen_;
};

QByteArray QtFolderChooser(QWidget* owner, const QString& title, ProgramContext& program)
{
    FolderDialog chooser(owner, title, program);
    if (chooser.exec() != QDialog::Accepted)
        return {};
    return chooser.chosen();
}

// A test's chooser; none: Qt's.
FolderChooser& Replacement()
{
    static FolderChooser chooser;
    return chooser;
}
}  // namespace

QByteArray ChooseFolder(QWidget* owner, const QString& title, ProgramContext& program)
{
    if (const FolderChooser& replaced = Replacement())
        return replaced(owner, title);
    return QtFolderChooser(owner, title, program);
}

void SetFolderChooser(FolderChooser chooser) { Replacement() = std::move(chooser); }

void ClickablePicture::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}
