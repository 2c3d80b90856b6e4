#pragma once

#include <QImage>
#include <QWidget>

// An image box: draws a picture that was decoded and fitted beforehand, at
// the picture's own size (its device-pixel ratio makes it crisp). A left
// click is reported by clicked(); with no receiver the click simply ends here.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    void setPicture(const QImage& picture);
    const QImage& picture() const { return picture_; }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage picture_;
};
