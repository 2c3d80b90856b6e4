#include <QApplication>

#include "app/forms.h"
#include "app/frmSearch.h"
#include "config/Configuration.h"
#include "viewer/PicturePreparer.h"
#include "viewer/fImage.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("marbleglen");
    QApplication::setDesktopFileName("org.marbleglen.Marbleglen");
    forms::frmSearch().show();
    const int code = QApplication::exec();
    // The program has ended: destroy the windows while the application still
    // exists, so that what they hold (a screen-saver inhibition) is released.
    delete forms::existingFImage();
    delete forms::existingConfiguration();
    delete forms::existingFrmSearch();
    PicturePreparer::WaitForWorkers();
    return code;
}
