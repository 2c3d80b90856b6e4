#pragma once

#include <functional>

#include <QByteArray>
#include <QLabel>
#include <QString>

class ProgramContext;
class QWidget;

// The folder chooser behind the dialog's folder pictures: modal to `owner`,
// titled `title`, folders only. Yields the full path as its bytes on disk (a
// name that is not valid text keeps its own bytes), or nothing when the user
// cancels. Its messages go through the program's message box.
using FolderChooser = std::function<QByteArray(QWidget* owner, const QString& title)>;

QByteArray ChooseFolder(QWidget* owner, const QString& title, ProgramContext& program);

// Puts another chooser in place of Qt's directory chooser (tests); an empty
// function puts Qt's back.
void SetFolderChooser(FolderChooser chooser);

// A picture that reports a left click, like an image control with a click event.
class ClickablePicture : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
