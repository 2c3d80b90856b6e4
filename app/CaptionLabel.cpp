#include "app/CaptionLabel.h"

#include <QMouseEvent>

CaptionLabel::CaptionLabel(const QString& name, const QString& caption, QWidget* parent)
    : QLabel(caption, parent)
{
    setObjectName(name);
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    QFont f("Arial");
    f.setPixelSize(12);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(26, 0, 128));
    setPalette(p);
}

void CaptionLabel::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

// A click is a press and a release over the label, as with any button.
void CaptionLabel::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    event->accept();
    if (click)
        emit Click();
}
