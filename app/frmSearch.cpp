#include "app/frmSearch.h"

#include <QLineEdit>
#include <QStatusBar>

#include "app/ImageListBox.h"

frmSearch::frmSearch(Data&)
{
    setObjectName("frmSearch");
    setWindowTitle("Marbleglen");
    setAttribute(Qt::WA_DeleteOnClose);
    List1 = new ImageListBox(this);
    txtResetCount = new QLineEdit("0", this);
    txtResetCount->setObjectName("txtResetCount");
    txtResetCount->hide();
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
}

void frmSearch::Form_Load() {}
void frmSearch::Command1_Click() {}
void frmSearch::Command2_Click() {}
void frmSearch::Command3_Click() {}
void frmSearch::Command4_Click() {}
