#pragma once

#include <QWidget>

class ImageListBox;
class QLineEdit;
class QStatusBar;

// The main window: the label panel, the image list and the status bar, and the
// hidden operations through which the viewer and the dialog drive it.
class frmSearch : public QWidget {
    Q_OBJECT
public:
    struct Data {};  // all of this window's state lives in its controls

    explicit frmSearch(Data& data);
    void Form_Load();

    void Command1_Click();  // "Load Search Folders"
    void Command2_Click();  // "View"
    void Command3_Click();  // "Scroll Up"
    void Command4_Click();  // "Scroll Down"

    ImageListBox* List1 = nullptr;
    QLineEdit* txtResetCount = nullptr;  // the reset flag, "0" or "1"
    QStatusBar* StatusBar1 = nullptr;
};
