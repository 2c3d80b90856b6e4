#include "config/FolderPicker.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPointer>

#include <sys/stat.h>

#include "app/ProgramContext.h"
#include "config/PathOnDisk.h"

namespace {
// The text Qt's chooser shows for a folder it cannot find.
const QString kNotFound = "%1\nDirectory not found.\nPlease verify the correct directory name was given.";
const QString kAmbiguousFolder =
    "The folder \"%1\" cannot be told apart from another folder whose name looks the same: "
    "their names are not valid text. Rename one of them, or choose another folder.";

// Qt's directory chooser, answering with the chosen folder's bytes.
class FolderDialog : public QFileDialog {
public:
    FolderDialog(QWidget* owner, const QString& title, ProgramContext& program)
        : QFileDialog(owner, title), program_(program)
    {
        // Each browse starts afresh at the same place, not at the folder in
        // the box, nor where the last file dialog of the run was left (Qt's
        // choice when given none).
        setDirectory(StartFolder());
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
            // Qt's own message here would be application-modal.
            if (found.outcome != PathOnDisk::Found)
                program_.MsgBox(kNotFound.arg(QFileInfo(shown).fileName()));
            return;
        }
        QFileDialog::accept();  // its own checks
    }

private:
    // The home folder: where a user's own folders, pictures among them,
    // begin; the root when there is none.
    static QString StartFolder()
    {
        const QString home = QDir::homePath();
        return QFileInfo(home).isDir() ? home : QDir::rootPath();
    }

    ProgramContext& program_;
    QByteArray chosen_;
};

QByteArray QtFolderChooser(QWidget* owner, const QString& title, ProgramContext& program)
{
    // Owned here unless its owner goes first and takes it along.
    QPointer<FolderDialog> chooser = new FolderDialog(owner, title, program);
    QByteArray chosen;
    if (program.RunModal(*chooser) == QDialog::Accepted && chooser)
        chosen = chooser->chosen();
    delete chooser.data();
    return chosen;
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
