#include <QApplication>

#include "app/forms.h"
#include "app/frmSearch.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("marbleglen");
    forms::frmSearch().show();
    return QApplication::exec();
}
