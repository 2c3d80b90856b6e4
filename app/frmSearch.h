#pragma once

#include <QByteArray>
#include <QPixmap>
#include <QWidget>

#include <chrono>
#include <cstdint>

#include "app/ImageList.h"

class CaptionLabel;
class ProgramContext;
class ImageListBox;
class QLineEdit;
class QStatusBar;

// The main window: the label panel, the image list's view and the status bar,
// and the hidden operations through which the dialog drives it. The image list
// itself is the program's; txtResetCount shows its rebuilt flag.
class frmSearch : public QWidget, private ImageList::Observer {
    Q_OBJECT
public:
    struct Data {};  // the image list is the program's, not the window's

    frmSearch(Data& data, ProgramContext& program);
    ~frmSearch() override;
    void Form_Load();

    void Command1_Click();  // "Load Search Folders"
    void Command2_Click();  // "View"
    void Command3_Click();  // "Scroll Up"
    void Command4_Click();  // "Scroll Down"

    // How long a search runs before the status bar shows its progress, and how
    // often the progress is refreshed from then on.
    std::chrono::milliseconds progressDelay{500};
    std::chrono::milliseconds progressPeriod{200};

    // Appends every file below `path` matching `SearchStr` to List1 and adds
    // to the counters; `path` gets a trailing "/" if it has none. NotSearched
    // counts the folders links led into too often (see FindFiles). Throws
    // when the walk fails, leaving List1 as it was.
    void FindFilesAPI(QByteArray& path, const QByteArray& SearchStr, std::int64_t& FileCount,
                      std::int64_t& DirCount, std::int64_t& NotSearched);

    // The label handlers, public so that tests and the keyboard reach them.
    void lblSlideShow_Click();
    void lblViewImage_Click();
    void lblChangeConfig_Click();
    void lblImageCaption1_Click();
    void lblImageCaption2_Click();
    void lblImageCaption3_Click();
    void lblImageCaption4_Click();
    void List1_DblClick();
    void Form_Resize();
    void Form_KeyDown(int KeyCode);
    void Form_Unload();

    ImageListBox* List1 = nullptr;
    QLineEdit* txtResetCount = nullptr;  // the reset flag, "0" or "1"
    QStatusBar* StatusBar1 = nullptr;
    CaptionLabel* lblSlideShow = nullptr;
    CaptionLabel* lblViewImage = nullptr;
    CaptionLabel* lblImageCaption1 = nullptr;
    CaptionLabel* lblImageCaption2 = nullptr;
    CaptionLabel* lblImageCaption3 = nullptr;
    CaptionLabel* lblImageCaption4 = nullptr;
    CaptionLabel* lblChangeConfig = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void rebuiltChanged(bool rebuilt) override;
    void searchFolder(int number);
    CaptionLabel* addLabel(const char* name, const QString& caption, int left, int top, int width,
                           int height, void (frmSearch::*handler)());

    ProgramContext& program_;
    ImageList& images_;
    QPixmap backdrop_;
};
