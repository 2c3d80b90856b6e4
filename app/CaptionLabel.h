#pragma once

#include <QLabel>

// One of the main window's clickable text labels: a caption, a Click and the
// hand pointer while the mouse is over it. Its look does not change on hover.
// From the keyboard it takes the focus with Tab (never with a click), shows a
// focus mark only while focused, and Enter or Space clicks it; assistive
// technology sees its caption and a "Press" action.
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
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool pressed_ = false;
};
