#pragma once

#include <QLabel>

// One of the main window's clickable text labels: a caption, a Click and the
// hand pointer while the mouse is over it. Its look does not change on hover.
class CaptionLabel : public QLabel {
    Q_OBJECT
public:
    CaptionLabel(const QString& name, const QString& caption, QWidget* parent);

    QString Caption() const { return text(); }
    void setCaption(const QString& caption) { setText(caption); }

signals:
    void Click();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool pressed_ = false;
};
