// The main window on Qt's offscreen platform, with a real store and real folders.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <memory>

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "FolderTree.h"
#include "app/CaptionLabel.h"
#include "app/ImageListBox.h"
#include "program/forms.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"
#include "settings/UniqueFd.h"
#include "tests/support/TempStore.h"
#include "viewer/fImage.h"

namespace {
const char* const kNoImages =
    "There are no images in the Image List. You must select a Search Folder to populate the Image List.";

void store(const std::string& name, const std::string& value)
{
    cRegistry reg = AppSettings::Open();
    reg.setValueKey(name);
    reg.setValue(Variant(value));
}

// While it lives, the process may open only `spare` more descriptors.
class SpareDescriptors {
public:
    explicit SpareDescriptors(int spare)
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        // Fill the gaps below the highest descriptor in use, so that the
        // limit leaves exactly `spare` free.
        int highest = 2;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        for (;;) {
            UniqueFd fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
            if (!fd || fd.get() > highest)
                break;
            fillers_.push_back(std::move(fd));
        }
        rlimit few = saved_;
        few.rlim_cur = static_cast<rlim_t>(highest + 1 + spare);
        setrlimit(RLIMIT_NOFILE, &few);
    }
    ~SpareDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
    std::vector<UniqueFd> fillers_;
};

// A fresh main window for each test, with message boxes and the end of the
// program recorded instead of shown or done.
class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousBox_ = setMsgBoxHook([this](const QString& text) { messages.push_back(text.toStdString()); });
        previousEnd_ = setEndProgramHook([this] { ++ended; });
    }
    void TearDown() override
    {
        delete forms::existingFrmSearch();
        setMsgBoxHook(previousBox_);
        setEndProgramHook(previousEnd_);
    }

    // The program-wide main window, made afresh, so that the viewer sees it.
    frmSearch& open()
    {
        delete forms::existingFrmSearch();
        frmSearch& w = forms::frmSearch();
        w.show();
        return w;
    }

    void fill(int n)
    {
        for (int i = 0; i < n; ++i)
            forms::frmSearch().List1->AddItem("/p/" + QByteArray::number(i) + ".jpg");
    }

    TempStore settings_;
    std::vector<std::string> messages;
    int ended = 0;

private:
    MsgBoxHook previousBox_;
    EndProgramHook previousEnd_;
};
}  // namespace

TEST_F(MainWindow, FirstStartShowsBlankCaptionsAndWritesNoStore)
{
    frmSearch& w = open();
    for (CaptionLabel* label : {w.lblImageCaption1, w.lblImageCaption2, w.lblImageCaption3, w.lblImageCaption4})
        EXPECT_EQ(label->Caption(), "") << label->objectName().toStdString();
    EXPECT_EQ(w.StatusBar1->currentMessage(), " 0 Files found in 0 Directories");
    EXPECT_EQ(w.txtResetCount->text(), "0");
    EXPECT_EQ(w.List1->ListCount(), 0);
    EXPECT_EQ(w.List1->ListIndex(), -1);
    EXPECT_FALSE(QFile::exists(settings_.storeFile()));
    EXPECT_EQ(w.size(), QSize(657, 353));
}

TEST_F(MainWindow, ControlsAreReachableByTheirNames)
{
    frmSearch& w = open();
    const std::pair<const char*, const char*> named[] = {
        {"lblSlideShow", "Start Slide Show"}, {"lblViewImage", "View Image"},
        {"lblChangeConfig", "Config Options"}, {"lblImageCaption1", ""},
        {"lblImageCaption4", ""},              {"List1", nullptr},
        {"StatusBar1", nullptr},               {"txtResetCount", nullptr},
    };
    for (const auto& [name, caption] : named) {
        QWidget* control = w.findChild<QWidget*>(name);
        ASSERT_NE(control, nullptr) << name;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(accessible, nullptr) << name;
        EXPECT_EQ(accessible->object()->objectName(), name);
        if (caption) {
            EXPECT_EQ(accessible->text(QAccessible::Name), caption) << name;
        }
    }
    EXPECT_EQ(w.lblSlideShow->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(MainWindow, CaptionsComeFromTheSettingsCutToSixteenCharacters)
{
    store("txtImageCaption1", "Summer holidays 2025");
    store("txtImageCaption3", "Garden");
    frmSearch& w = open();
    EXPECT_EQ(w.lblImageCaption1->Caption(), "Summer holidays ");
    EXPECT_EQ(w.lblImageCaption2->Caption(), "");
    EXPECT_EQ(w.lblImageCaption3->Caption(), "Garden");
    store("txtImageCaption2", "Winter");
    w.Command1_Click();
    EXPECT_EQ(w.lblImageCaption2->Caption(), "Winter");
}

TEST_F(MainWindow, EmptyListRefusesViewAndSlideShow)
{
    store("varSlideShowType", "1");
    frmSearch& w = open();
    const bool viewerBefore = forms::existingFImage() != nullptr;
    w.lblViewImage_Click();
    w.lblSlideShow_Click();
    EXPECT_EQ(messages, (std::vector<std::string>{kNoImages, kNoImages}));
    EXPECT_EQ(forms::existingFImage() != nullptr, viewerBefore);
}

TEST_F(MainWindow, SlideShowOfUnknownTypeOnlySelectsTheFirstEntry)
{
    // "0x1" and "\n2" read as no order here as in the viewer's Space key.
    for (const char* type : {"7", "0", "abc", "", "0x1", "\n2"}) {
        store("varSlideShowType", type);
        frmSearch& w = open();
        fill(3);
        const bool viewerBefore = forms::existingFImage() != nullptr;
        w.lblSlideShow_Click();
        EXPECT_EQ(w.List1->ListIndex(), 0) << type;
        EXPECT_TRUE(messages.empty()) << type;
        EXPECT_EQ(forms::existingFImage() != nullptr, viewerBefore) << type;
        TearDown();
        SetUp();
    }
}

TEST_F(MainWindow, ViewImageSelectsTheFirstEntryOnlyWhenNoneIsCurrent)
{
    frmSearch& w = open();
    fill(4);
    w.lblViewImage_Click();
    EXPECT_EQ(w.List1->ListIndex(), 0);
    ASSERT_NE(forms::existingFImage(), nullptr);
    EXPECT_TRUE(forms::existingFImage()->isVisible());
    w.List1->setSelected(2);
    w.lblViewImage_Click();
    EXPECT_EQ(w.List1->ListIndex(), 2);
    EXPECT_EQ(w.List1->Text(), "/p/2.jpg");
    forms::existingFImage()->hide();
}

TEST_F(MainWindow, SteppingWrapsRoundAndKeepsTheOrder)
{
    frmSearch& w = open();
    w.Command3_Click();  // empty list: nothing happens, nothing is shown
    w.Command4_Click();
    EXPECT_EQ(w.List1->ListIndex(), -1);
    fill(5);
    w.Command4_Click();  // nothing current: stepping down leaves it so
    EXPECT_EQ(w.List1->ListIndex(), -1);
    const std::pair<void (frmSearch::*)(), int> steps[] = {
        {&frmSearch::Command3_Click, 4}, {&frmSearch::Command4_Click, 0}, {&frmSearch::Command3_Click, 4},
        {&frmSearch::Command3_Click, 3}, {&frmSearch::Command4_Click, 4}, {&frmSearch::Command4_Click, 0},
        {&frmSearch::Command4_Click, 1},
    };
    for (const auto& [step, expected] : steps) {
        (w.*step)();
        EXPECT_EQ(w.List1->ListIndex(), expected);
    }
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(w.List1->List(i), "/p/" + QByteArray::number(i) + ".jpg");
    EXPECT_TRUE(messages.empty());
}

TEST_F(MainWindow, EscapeAndTheCloseBoxEndTheProgram)
{
    frmSearch& w = open();
    w.List1->setFocus();
    QTest::keyClick(w.List1, Qt::Key_Down);
    EXPECT_EQ(ended, 0);
    QTest::keyClick(w.List1, Qt::Key_Escape);
    EXPECT_EQ(ended, 1);
    w.close();
    EXPECT_EQ(ended, 2);
}

TEST_F(MainWindow, ListFollowsTheWindowButNeverGoesNegative)
{
    frmSearch& w = open();
    w.resize(800, 500);
    EXPECT_EQ(w.List1->geometry(), QRect(160, 0, 640, 476));
    EXPECT_EQ(w.StatusBar1->geometry(), QRect(0, 476, 800, 24));
    w.resize(100, 400);  // narrower than the label panel: width stays
    EXPECT_EQ(w.List1->size(), QSize(640, 376));
    w.resize(300, 10);  // lower than the status bar: height stays
    EXPECT_EQ(w.List1->size(), QSize(140, 376));
}

TEST_F(MainWindow, FolderClickWithoutFolderShowsItsMessageAndChangesNothing)
{
    frmSearch& w = open();
    fill(2);
    w.List1->setSelected(1);
    w.StatusBar1->showMessage(" 2 Files found in 1 Directory");
    w.lblImageCaption1_Click();
    w.lblImageCaption2_Click();
    w.lblImageCaption3_Click();
    w.lblImageCaption4_Click();
    const std::string before =
        "You must set the Search Folders in the Configuration Options before you can search for image files.";
    const std::string first = "You must first set the Search Folders in the Configuration Options.";
    EXPECT_EQ(messages, (std::vector<std::string>{before, before, first, first}));
    EXPECT_EQ(w.List1->ListCount(), 2);
    EXPECT_EQ(w.List1->ListIndex(), 1);
    EXPECT_EQ(w.StatusBar1->currentMessage(), " 2 Files found in 1 Directory");
    EXPECT_EQ(w.txtResetCount->text(), "0");
}

TEST_F(MainWindow, FolderClickReplacesTheListAndSetsTheFlag)
{
    FolderTree tree;
    tree.files({"b.jpg", "a.JPG", "sub/c.jpg", "sub/d.jpeg", "x\xE9.jpg"});
    tree.folder("sub/empty");
    store("varImagePath2", tree.root().toStdString());
    store("varImagePath4", tree.path("missing").toStdString());
    frmSearch& w = open();
    fill(3);
    w.List1->setSelected(1);

    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    w.lblImageCaption2_Click();
    EXPECT_FALSE(timerRan);  // nothing else ran during the search

    EXPECT_EQ(w.StatusBar1->currentMessage(), " 4 Files found in 3 Directories");
    ASSERT_EQ(w.List1->ListCount(), 4);
    EXPECT_EQ(w.List1->List(0), tree.root() + "/a.JPG");
    EXPECT_EQ(w.List1->List(2), tree.root() + "/x\xE9.jpg");  // the bytes, as on disk
    EXPECT_EQ(w.List1->model()->index(2, 0).data().toString(), QFile::decodeName(tree.root()) + "/x\u00e9.jpg");
    EXPECT_EQ(w.List1->List(3), tree.root() + "/sub/c.jpg");
    EXPECT_EQ(w.List1->ListIndex(), -1);
    EXPECT_EQ(w.txtResetCount->text(), "1");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(messages.empty());

    w.txtResetCount->setText("0");
    w.lblImageCaption4_Click();
    EXPECT_EQ(w.StatusBar1->currentMessage(), " 0 Files found in 1 Directory");
    EXPECT_EQ(w.List1->ListCount(), 0);
    EXPECT_EQ(w.txtResetCount->text(), "1");
    EXPECT_TRUE(messages.empty());
}

TEST_F(MainWindow, OtherPictureTypesAreSearchedOnlyWithTheirSettingOn)
{
    FolderTree tree;
    tree.files({"b.jpg", "a.HEIC", "c.png", "d.JPEG", "e.txt", "f.jxl", "g.gif", "sub/h.webp", "sub/i.avif",
                "sub/j.jpe", "sub/k.jfif", "sub/l.heif", "sub/m.JPG"});
    store("varImagePath1", tree.root().toStdString());
    frmSearch& w = open();
    const QByteArray root = tree.root() + "/";
    const std::vector<QByteArray> jpegs = {root + "b.jpg", root + "sub/m.JPG"};
    const std::vector<QByteArray> all = {root + "a.HEIC", root + "b.jpg", root + "c.png", root + "d.JPEG",
                                         root + "f.jxl", root + "sub/h.webp", root + "sub/i.avif",
                                         root + "sub/j.jpe", root + "sub/k.jfif", root + "sub/l.heif",
                                         root + "sub/m.JPG"};
    struct Case {
        const char* stored;  // nullptr: never stored
        const std::vector<QByteArray>& expected;
        const char* status;
    } cases[] = {
        {nullptr, jpegs, " 2 Files found in 2 Directories"},
        {"0", jpegs, " 2 Files found in 2 Directories"},
        {"yes", jpegs, " 2 Files found in 2 Directories"},
        {"1", all, " 11 Files found in 2 Directories"},
    };
    for (const Case& c : cases) {
        if (c.stored)
            store("varOtherPictureTypes", c.stored);
        w.lblImageCaption1_Click();
        std::vector<QByteArray> listed;
        for (int i = 0; i < w.List1->ListCount(); ++i)
            listed.push_back(w.List1->List(i));
        EXPECT_EQ(listed, c.expected) << (c.stored ? c.stored : "never stored");
        EXPECT_EQ(w.StatusBar1->currentMessage(), c.status) << (c.stored ? c.stored : "never stored");
    }
    EXPECT_TRUE(messages.empty());
}

// A search that leaves folders out, or cannot finish, says so.
TEST_F(MainWindow, FolderClickSaysWhatTheSearchLeftOutAndWhyItFailed)
{
    FolderTree tree;
    tree.linkChain("chain", 8, 3);  // 3^8 ways down
    store("varImagePath1", tree.path("chain/c0").toStdString());
    frmSearch& w = open();
    w.lblImageCaption1_Click();
    EXPECT_EQ(w.StatusBar1->currentMessage().toStdString(),
              " 60 Files found in 157 Directories (97 not searched again: reached more than 8 times through links)");
    EXPECT_EQ(w.List1->ListCount(), 60);
    EXPECT_TRUE(messages.empty());

    // Two descriptors to spare: enough to read the setting and to open the
    // folder and one inside it, not the next one down. Running out is not an
    // empty folder, and the search does not pass it off as one. (Two, so that
    // the sanitizers' pipe still opens once the walk has given them back.)
    {
        SpareDescriptors two(2);
        w.txtResetCount->setText("0");
        w.lblImageCaption1_Click();
    }
    EXPECT_EQ(w.StatusBar1->currentMessage().toStdString(), " Search failed: Too many open files");
    EXPECT_EQ(messages, std::vector<std::string>{"The search of \"" + tree.path("chain/c0").toStdString()
                                                 + "\" failed: Too many open files. The image list is empty."});
    EXPECT_EQ(w.List1->ListCount(), 0);
    EXPECT_EQ(w.txtResetCount->text(), "1");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainWindow, DoubleClickOpensTheViewerOnThatEntry)
{
    frmSearch& w = open();
    fill(3);
    const QRect row = w.List1->visualRect(w.List1->model()->index(1, 0));
    QTest::mouseClick(w.List1->viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(w.List1->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_EQ(w.List1->ListIndex(), 1);
    ASSERT_NE(forms::existingFImage(), nullptr);
    EXPECT_TRUE(forms::existingFImage()->isVisible());
    forms::existingFImage()->hide();
}

TEST_F(MainWindow, KeyboardAloneSearchesAFolderAndOpensTheViewer)
{
    FolderTree tree;
    tree.files({"a.jpg", "b.jpg"});
    store("varImagePath1", tree.root().toStdString());
    frmSearch& w = open();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    ASSERT_EQ(QApplication::focusWidget(), w.List1);
    auto press = [](Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); };

    // Tab walks the labels from the top; Shift+Tab back.
    const std::pair<Qt::Key, QWidget*> walk[] = {
        {Qt::Key_Tab, w.lblSlideShow},     {Qt::Key_Tab, w.lblViewImage},
        {Qt::Key_Tab, w.lblImageCaption1}, {Qt::Key_Tab, w.lblImageCaption2},
        {Qt::Key_Tab, w.lblImageCaption3}, {Qt::Key_Tab, w.lblImageCaption4},
        {Qt::Key_Tab, w.lblChangeConfig},  {Qt::Key_Tab, w.List1},
        {Qt::Key_Tab, w.lblSlideShow},     {Qt::Key_Backtab, w.List1},
        {Qt::Key_Backtab, w.lblChangeConfig},
    };
    for (const auto& [key, expected] : walk) {
        press(key);
        EXPECT_EQ(QApplication::focusWidget(), expected) << expected->objectName().toStdString();
    }

    w.lblImageCaption1->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Return);
    EXPECT_EQ(w.List1->ListCount(), 2);
    EXPECT_EQ(w.StatusBar1->currentMessage(), " 2 Files found in 1 Directory");

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    ASSERT_EQ(QApplication::focusWidget(), w.lblViewImage);
    press(Qt::Key_Space);
    EXPECT_EQ(w.List1->ListIndex(), 0);
    ASSERT_NE(forms::existingFImage(), nullptr);
    EXPECT_TRUE(forms::existingFImage()->isVisible());
    forms::existingFImage()->hide();
    EXPECT_TRUE(messages.empty());

    // In the list, Enter opens the viewer on the current entry.
    QApplication::setActiveWindow(&w);
    w.List1->setFocus();
    w.List1->setSelected(1);
    press(Qt::Key_Return);
    EXPECT_TRUE(forms::existingFImage()->isVisible());
    EXPECT_EQ(w.List1->ListIndex(), 1);
    forms::existingFImage()->hide();
}

TEST_F(MainWindow, LabelsShowAFocusMarkOnlyWhileFocused)
{
    frmSearch& w = open();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const QImage before = w.lblViewImage->grab().toImage();
    w.lblViewImage->setFocus(Qt::TabFocusReason);
    const QImage focused = w.lblViewImage->grab().toImage();
    w.List1->setFocus(Qt::TabFocusReason);
    const QImage after = w.lblViewImage->grab().toImage();
    EXPECT_NE(before, focused);
    EXPECT_EQ(before, after);

    // A mouse click does not take the focus, so the mark never shows for it.
    QTest::mouseClick(w.lblViewImage, Qt::LeftButton);
    EXPECT_EQ(QApplication::focusWidget(), w.List1);
    EXPECT_EQ(messages.size(), 1u);  // the click itself ran: the list is empty
}

TEST_F(MainWindow, LabelsOfferAPressActionToAssistiveTechnology)
{
    store("txtImageCaption2", "Garden");
    frmSearch& w = open();
    for (CaptionLabel* label : {w.lblSlideShow, w.lblViewImage, w.lblImageCaption1, w.lblImageCaption2,
                                w.lblImageCaption3, w.lblImageCaption4, w.lblChangeConfig}) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(label);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), label->Caption());
        EXPECT_TRUE(accessible->state().focusable);
        ASSERT_NE(accessible->actionInterface(), nullptr);
        EXPECT_TRUE(accessible->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()))
            << label->objectName().toStdString();
    }
    QAccessible::queryAccessibleInterface(w.lblViewImage)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    QAccessible::queryAccessibleInterface(w.lblImageCaption3)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(messages, (std::vector<std::string>{
                            kNoImages, "You must first set the Search Folders in the Configuration Options."}));

    // Escape still ends the program with a label focused.
    w.lblImageCaption2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(w.lblImageCaption2, Qt::Key_Escape);
    EXPECT_EQ(ended, 1);
}

TEST_F(MainWindow, LongSearchShowsProgressUnderTheWaitPointer)
{
    FolderTree tree;
    std::vector<QByteArray> files;
    for (int i = 0; i < 20; ++i)
        files.push_back("f" + QByteArray::number(i) + "/a.jpg");
    tree.files(files);
    store("varImagePath3", tree.root().toStdString());
    frmSearch& w = open();
    w.progressDelay = std::chrono::milliseconds(0);  // every search counts as long here
    std::vector<std::pair<std::string, bool>> shown;  // text, wait pointer showing
    QObject::connect(w.StatusBar1, &QStatusBar::messageChanged, [&](const QString& text) {
        const QCursor* cursor = QApplication::overrideCursor();
        shown.emplace_back(text.toStdString(), cursor && cursor->shape() == Qt::WaitCursor);
    });
    w.lblImageCaption3_Click();
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown.front(), std::make_pair(std::string(), false));  // cleared first
    EXPECT_TRUE(shown[1].first.starts_with(" Searching... ")) << shown[1].first;
    EXPECT_TRUE(shown[1].second);
    EXPECT_EQ(shown.back(), std::make_pair(std::string(" 20 Files found in 21 Directories"), true));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}
