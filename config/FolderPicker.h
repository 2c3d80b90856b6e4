#pragma once

#include <functional>

#include <QLabel>
#include <QString>

class QWidget;

// The folder chooser behind the dialog's folder pictures: modal to `owner`,
// titled `title`, folders only. Yields a full path, or an empty text when the
// user cancels.
using FolderChooser = std::function<QString(QWidget* owner, const QString& title)>;

QString ChooseFolder(QWidget* owner, const QString& title);

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
