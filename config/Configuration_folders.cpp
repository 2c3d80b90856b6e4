#include <QLineEdit>

#include "config/Configuration.h"
#include "config/DialogCore.h"
#include "config/FolderPicker.h"

QByteArray Configuration::BrowseDialog(QWidget* owner, const QString& sMessage)
{
    return ChooseFolder(owner, sMessage, program_);
}

QString Configuration::GetFileName(const QString& flname) const { return LastPathComponent(flname); }

// Nothing is stored here: the chosen folder reaches the settings only when
// the dialog is saved.
void Configuration::PickFolder(int index)
{
    const QByteArray path = BrowseDialog(this, "Select Folder");
    if (path.isEmpty())
        return;
    const auto at = static_cast<std::size_t>(index);
    // Shown readably, saved with the folder's own bytes.
    SetStoredText(txtImagePath[at], path.toStdString());
    txtImageCaption[at]->setText(GetFileName(txtImagePath[at]->text()));
}

void Configuration::imgPathSelect1_Click() { PickFolder(0); }
void Configuration::imgPathSelect2_Click() { PickFolder(1); }
void Configuration::imgPathSelect3_Click() { PickFolder(2); }
void Configuration::imgPathSelect4_Click() { PickFolder(3); }
