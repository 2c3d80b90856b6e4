#include "app/frmSearch.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <exception>

#include "app/BlockingWork.h"
#include "app/CaptionLabel.h"
#include "app/FolderWalk.h"
#include "app/ImageListBox.h"
#include "app/KeyCodes.h"
#include "app/ProgramContext.h"
#include "app/Twips.h"
#include "app/WindowText.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"

namespace {
constexpr int px(int twips) { return PixelsFromTwips(twips); }

constexpr int kListLeft = 2400;
constexpr int kStatusHeight = 360;

const QString kNoImages =
    "There are no images in the Image List. You must select a Search Folder to populate the Image List.";
const QString kSetFoldersBeforeSearch =
    "You must set the Search Folders in the Configuration Options before you can search for image files.";
const QString kSetFoldersFirst = "You must first set the Search Folders in the Configuration Options.";

}  // namespace

frmSearch::frmSearch(Data&, ProgramContext& program) : program_(program), images_(program.Images())
{
    setObjectName("frmSearch");
    setWindowTitle("Marbleglen");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(QIcon(":/app/marbleglen.png"));
    resize(px(9855), px(5295));

    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(137, 177, 243));
    setPalette(p);
    setAutoFillBackground(true);
    backdrop_ = QPixmap(":/app/backdrop.png");

    lblSlideShow = addLabel("lblSlideShow", "Start Slide Show", 720, 770, 1335, 300,
                            &frmSearch::lblSlideShow_Click);
    lblViewImage = addLabel("lblViewImage", "View Image", 720, 1100, 1335, 300,
                            &frmSearch::lblViewImage_Click);
    lblImageCaption1 = addLabel("lblImageCaption1", "Label1", 720, 2175, 1335, 225,
                                &frmSearch::lblImageCaption1_Click);
    lblImageCaption2 = addLabel("lblImageCaption2", "Label2", 720, 2470, 1335, 225,
                                &frmSearch::lblImageCaption2_Click);
    lblImageCaption3 = addLabel("lblImageCaption3", "Label3", 720, 2775, 1335, 225,
                                &frmSearch::lblImageCaption3_Click);
    lblImageCaption4 = addLabel("lblImageCaption4", "Label4", 720, 3070, 1335, 225,
                                &frmSearch::lblImageCaption4_Click);
    lblChangeConfig = addLabel("lblChangeConfig", "Config Options", 720, 4200, 1335, 300,
                               &frmSearch::lblChangeConfig_Click);

    List1 = new ImageListBox(images_, this);
    List1->setGeometry(px(kListLeft), 0, px(3165), px(1845));
    connect(List1, &ImageListBox::DblClick, this, [this] { program_.runHandler([this] { List1_DblClick(); }); });

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setFont(QFont("Arial"));
    StatusBar1->setGeometry(0, px(4935), px(9855), px(kStatusHeight));
    StatusBar1->showMessage(" 0 Files found in 0 Directories");

    txtResetCount = new QLineEdit(images_.rebuiltSinceLastPick() ? "1" : "0", this);
    txtResetCount->setObjectName("txtResetCount");
    txtResetCount->setGeometry(px(2400), px(4200), px(855), px(375));
    txtResetCount->hide();
    // The box is a face over the list's flag: its text is the flag, "1" or
    // "0", and text put into it sets the flag ("1" alone counts as set).
    connect(txtResetCount, &QLineEdit::textChanged, this,
            [this](const QString& text) { images_.setRebuiltSinceLastPick(text == "1"); });
    images_.addObserver(this);

    // Tab goes through the labels from top to bottom, then to the list.
    QWidget* order[] = {lblSlideShow, lblViewImage, lblImageCaption1, lblImageCaption2,
                        lblImageCaption3, lblImageCaption4, lblChangeConfig, List1};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    List1->setFocus();

    // Key preview: Form_KeyDown sees a key before the control with the focus.
    qApp->installEventFilter(this);
}

frmSearch::~frmSearch()
{
    images_.removeObserver(this);
    qApp->removeEventFilter(this);
}

void frmSearch::rebuiltChanged(bool rebuilt)
{
    if ((txtResetCount->text() == "1") != rebuilt)
        txtResetCount->setText(rebuilt ? "1" : "0");
}

CaptionLabel* frmSearch::addLabel(const char* name, const QString& caption, int left, int top,
                                  int width, int height, void (frmSearch::*handler)())
{
    auto* label = new CaptionLabel(name, caption, this);
    label->setGeometry(px(left), px(top), px(width), px(height));
    connect(label, &CaptionLabel::Click, this,
            [this, handler] { program_.runHandler([this, handler] { (this->*handler)(); }); });
    return label;
}

void frmSearch::Form_Load()
{
    Form_Resize();
    Command1_Click();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void frmSearch::Command1_Click()
{
    cRegistry reg = AppSettings::Open();
    CaptionLabel* labels[] = {lblImageCaption1, lblImageCaption2, lblImageCaption3, lblImageCaption4};
    for (int i = 0; i < 4; ++i) {
        reg.setValueKey(AppSettings::ImageCaption(i + 1).name);
        labels[i]->setCaption(CaptionText(VariantText(reg.Value())));
    }
}

void frmSearch::Command2_Click() { program_.Viewer().View(); }

void frmSearch::Command3_Click() { images_.moveUp(); }
void frmSearch::Command4_Click() { images_.moveDown(); }

void frmSearch::List1_DblClick() { Command2_Click(); }

void frmSearch::lblViewImage_Click()
{
    if (images_.count() == 0) {
        program_.MsgBox(kNoImages);
        return;
    }
    if (images_.current() == -1)
        images_.select(0);
    Command2_Click();
}

void frmSearch::lblSlideShow_Click()
{
    const std::int16_t type = AppSettings::ReadSlideShowType();
    if (images_.count() == 0) {
        program_.MsgBox(kNoImages);
        return;
    }
    if (images_.current() == -1)
        images_.select(0);
    if (type == AppSettings::kProgressive || type == AppSettings::kIntelligentRandom)
        program_.Viewer().StartSlideShow(type);
}

void frmSearch::lblChangeConfig_Click() { program_.Settings().Show(); }

void frmSearch::lblImageCaption1_Click() { searchFolder(1); }
void frmSearch::lblImageCaption2_Click() { searchFolder(2); }
void frmSearch::lblImageCaption3_Click() { searchFolder(3); }
void frmSearch::lblImageCaption4_Click() { searchFolder(4); }

// Every statement runs on its own, so the pointer is always restored and the
// flag always set once the search has started. A walk that fails leaves the
// list empty and says why, rather than showing counts over an empty list.
void frmSearch::searchFolder(int number)
{
    std::string folder;
    tryStatement([&] { folder = AppSettings::ReadText(AppSettings::ImagePath(number)); });
    if (folder.empty()) {
        program_.MsgBox(number <= 2 ? kSetFoldersBeforeSearch : kSetFoldersFirst);
        return;
    }
    tryStatement([&] { StatusBar1->clearMessage(); });
    tryStatement([&] {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        StatusBar1->repaint();  // the window shows no more events until the search ends
    });
    tryStatement([&] { images_.clear(); });
    // A store that cannot be read searches for JPEGs, as without the setting.
    const char* pattern = kPicturePattern;
    tryStatement([&] {
        if (AppSettings::ReadSwitch(AppSettings::kOtherPictureTypes))
            pattern = kAllPicturesPattern;
    });
    std::int64_t FileCount = 0, DirCount = 0, NotSearched = 0;
    const QByteArray configured(folder.data(), static_cast<qsizetype>(folder.size()));
    QByteArray path = configured;
    std::exception_ptr failure;
    try {
        FindFilesAPI(path, pattern, FileCount, DirCount, NotSearched);
    } catch (...) {
        failure = std::current_exception();
    }
    QString reason;
    if (failure)
        tryStatement([&] { reason = FailureReason(failure); });
    images_.setLastSearch(failure ? ImageList::SearchCounts{}
                                  : ImageList::SearchCounts{FileCount, DirCount, NotSearched});
    tryStatement([&] {
        StatusBar1->showMessage(failure ? SearchFailedText(reason)
                                        : SearchStatusText(FileCount, DirCount, NotSearched));
    });
    tryStatement([&] { QApplication::restoreOverrideCursor(); });
    images_.setRebuiltSinceLastPick(true);
    if (failure)
        program_.MsgBox(SearchFailedMessage(configured, reason));
}

void frmSearch::FindFilesAPI(QByteArray& path, const QByteArray& SearchStr, std::int64_t& FileCount,
                             std::int64_t& DirCount, std::int64_t& NotSearched)
{
    std::vector<QByteArray> found;
    std::atomic<std::int64_t> progress{FileCount};
    // The walk runs on a worker thread while this thread only repaints the
    // progress: clicks and timer ticks wait until the search has ended.
    RunBlocking(
        [&] { FindFiles(path, SearchStr.toStdString(), FileCount, DirCount, NotSearched, found, &progress); },
        [&] {
            StatusBar1->showMessage(SearchProgressText(progress.load(std::memory_order_relaxed)));
            StatusBar1->repaint();
        },
        progressDelay, progressPeriod);
    images_.append(std::move(found));
}

void frmSearch::Form_Resize()
{
    const int innerWidth = width(), innerHeight = height();
    const int statusHeight = StatusBar1->height();
    StatusBar1->setGeometry(0, innerHeight - statusHeight, innerWidth, statusHeight);
    // A size that would be negative is skipped: the list keeps its last one.
    if (const int w = innerWidth - px(kListLeft); w >= 0)
        List1->resize(w, List1->height());
    if (const int h = innerHeight - statusHeight; h >= 0)
        List1->resize(List1->width(), h);
}

void frmSearch::Form_KeyDown(int KeyCode)
{
    if (KeyCode == KeyCodes::Escape)
        Form_Unload();
}

void frmSearch::Form_Unload() { program_.EndProgram(); }

bool frmSearch::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()
        && static_cast<QWidget*>(watched)->window() == this) {
        const int code = KeyCodeOf(static_cast<QKeyEvent*>(event)->key());
        if (code == KeyCodes::Escape) {
            Form_KeyDown(code);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmSearch::paintEvent(QPaintEvent*)
{
    QPainter(this).drawPixmap(0, 0, backdrop_);
}

void frmSearch::resizeEvent(QResizeEvent*) { program_.runHandler([this] { Form_Resize(); }); }

void frmSearch::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_Unload();
}
