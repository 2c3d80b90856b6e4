#include "viewer/fImage.h"

#include <QTimer>

fImage::fImage(Data& data) : data_(data)
{
    setObjectName("fImage");
    setAttribute(Qt::WA_DeleteOnClose);
    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    Timer2 = new QTimer(this);
    Timer2->setInterval(500);
}

void fImage::Form_Load() {}
void fImage::Command1_Click() {}
