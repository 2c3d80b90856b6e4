#include <QApplication>

#include "program/Program.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("marbleglen");
    QApplication::setDesktopFileName("org.marbleglen.Marbleglen");
    // Torn down before the application: the windows, then what they shared.
    Program program;
    program.frmSearch().show();
    return QApplication::exec();
}
