#include "viewer/PictureBox.h"

#include <QMouseEvent>
#include <QPainter>
#include <QRegion>

PictureBox::PictureBox(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

void PictureBox::setPicture(const QImage& picture)
{
    picture_ = picture;
    update();
}

// Black only where the picture does not reach: filling under it as well
// would write every pixel twice, on a large screen a good part of a step.
void PictureBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QSizeF covered = picture_.deviceIndependentSize();
    const QRegion uncovered =
        QRegion(rect()) - QRect(0, 0, static_cast<int>(covered.width()), static_cast<int>(covered.height()));
    for (const QRect& r : uncovered)
        painter.fillRect(r, Qt::black);
    painter.drawImage(QPoint(0, 0), picture_);
}

void PictureBox::mousePressEvent(QMouseEvent* event) { event->accept(); }

void PictureBox::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}
