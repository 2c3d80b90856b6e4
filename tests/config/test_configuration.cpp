#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "program/forms.h"
#include "app/CaptionLabel.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "config/Configuration.h"
#include "config/FolderPicker.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <functional>

namespace {
void Store(const std::string& name, const std::string& text)
{
    cRegistry reg = AppSettings::Open();
    reg.setValueKey(name);
    reg.setValue(Variant(text));
}

std::string Stored(const std::string& name) { return AppSettings::ReadText(name); }

void DestroyClosedWindows() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousBox_ = setMsgBoxHook([this](const QString& text) { messages.push_back(text); });
        // Closing the main window would end the program.
        previousEnd_ = setEndProgramHook([] {});
    }

    // Opens the dialog as the main window does: created, loaded, shown.
    Configuration& Open()
    {
        Configuration& dialog = forms::Configuration();
        dialog.show();
        return dialog;
    }

    void TearDown() override
    {
        // Windows first: the main window's close would end the program
        // without the hook, and no nested event loop would run afterwards.
        for (QWidget* w : QApplication::topLevelWidgets())
            w->close();
        DestroyClosedWindows();
        SetFolderChooser({});
        setMsgBoxHook(previousBox_);
        setEndProgramHook(previousEnd_);
    }

    TempStore store_;
    MsgBoxHook previousBox_;
    EndProgramHook previousEnd_;
    std::vector<QString> messages;
};
}  // namespace

TEST_F(ConfigurationTest, OpensEmptyWithProgressiveAndOneSecondWhenNothingIsStored)
{
    Configuration& dialog = Open();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(dialog.txtImagePath[i]->text(), "");
        EXPECT_EQ(dialog.txtImageCaption[i]->text(), "");
    }
    EXPECT_TRUE(dialog.Option1->isChecked());
    EXPECT_FALSE(dialog.Option2->isChecked());
    EXPECT_EQ(dialog.Label12->text(), "Progressive Slide Show displays images in sequential order.");
    EXPECT_EQ(dialog.Label1->text(), "Delay:  One Second");
    EXPECT_EQ(dialog.TabStrip1->currentIndex(), 0);
    EXPECT_TRUE(dialog.Frame1->isVisible());
    EXPECT_FALSE(dialog.Frame2->isVisible());
    EXPECT_FALSE(dialog.Frame3->isVisible());
    EXPECT_EQ(dialog.focusWidget(), dialog.Command3);
    // Loading selects an option button but stores nothing.
    EXPECT_EQ(Stored("varSlideShowType"), "");
}

TEST_F(ConfigurationTest, StoredTypeSelectsItsOptionAndLoadingLeavesItAsStored)
{
    const std::pair<std::string, bool> cases[] = {
        {"2", false}, {"1", true}, {"7", false}, {"abc", true}, {"", true}, {"0", false},
    };
    for (const auto& [type, progressive] : cases) {
        Store("varSlideShowType", type);
        Configuration& dialog = Open();
        EXPECT_EQ(dialog.Option1->isChecked(), progressive) << type;
        EXPECT_EQ(dialog.Option2->isChecked(), !progressive) << type;
        EXPECT_EQ(dialog.Label12->text().startsWith("Progressive"), progressive) << type;
        EXPECT_EQ(Stored("varSlideShowType"), type);
        dialog.close();
        DestroyClosedWindows();
    }
}

TEST_F(ConfigurationTest, StoredDelayMovesSliderOnlyForCodesOneToSeven)
{
    const struct {
        std::string delay;
        int position;
        const char* caption;
    } cases[] = {
        {"5", 5, "Delay:  Five Seconds"}, {"1", 1, "Delay:  Half a Second"},
        {"7", 7, "Delay:  Fifteen Seconds"}, {"0", 2, "Delay:  One Second"},
        {"8", 2, "Delay:  One Second"},   {"x", 2, "Delay:  One Second"},
    };
    for (const auto& c : cases) {
        Store("varSlideShowDelayTime", c.delay);
        Configuration& dialog = Open();
        EXPECT_EQ(dialog.Slider1->value(), c.position) << c.delay;
        EXPECT_EQ(dialog.Label1->text(), c.caption) << c.delay;
        dialog.close();
        DestroyClosedWindows();
    }
}

TEST_F(ConfigurationTest, ShowsStoredFoldersAndNamesEvenWhenTheDelayIsBad)
{
    for (int n = 1; n <= 4; ++n) {
        Store("varImagePath" + std::to_string(n), "/photos/" + std::to_string(n));
        Store("txtImageCaption" + std::to_string(n), "Name " + std::to_string(n));
    }
    Store("varSlideShowDelayTime", "x");
    Store("varSlideShowType", "2");
    Configuration& dialog = Open();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(dialog.txtImagePath[i]->text(), QString("/photos/%1").arg(i + 1));
        EXPECT_EQ(dialog.txtImageCaption[i]->text(), QString("Name %1").arg(i + 1));
    }
    EXPECT_TRUE(dialog.Option2->isChecked());
}

TEST_F(ConfigurationTest, OptionIsStoredWhenClickedWhileCloseBoxStoresNothingElse)
{
    Store("txtImageCaption1", "Holidays");
    Configuration& dialog = Open();
    QTest::mouseClick(dialog.Option2, Qt::LeftButton);
    EXPECT_EQ(Stored("varSlideShowType"), "2");
    EXPECT_TRUE(dialog.Label12->text().startsWith("Intelligent Random Slide Show"));
    dialog.txtImageCaption[0]->setText("Edited");
    dialog.Slider1->setValue(6);
    dialog.close();  // the close box
    DestroyClosedWindows();
    EXPECT_EQ(Stored("varSlideShowType"), "2");
    EXPECT_EQ(Stored("txtImageCaption1"), "Holidays");
    EXPECT_EQ(Stored("varSlideShowDelayTime"), "");

    Configuration& again = Open();
    EXPECT_TRUE(again.Option2->isChecked());
    EXPECT_EQ(again.txtImageCaption[0]->text(), "Holidays");
    QTest::mouseClick(again.Option1, Qt::LeftButton);
    EXPECT_EQ(Stored("varSlideShowType"), "1");
    EXPECT_EQ(again.Label12->text(), "Progressive Slide Show displays images in sequential order.");
}

TEST_F(ConfigurationTest, SaveStoresTheNineValuesRefreshesMainWindowAndCloses)
{
    Store("txtImageCaption1", "Old name");
    Store("varSlideShowType", "2");
    forms::frmSearch();  // the main window shows "Old name"
    Configuration& dialog = Open();
    dialog.txtImageCaption[0]->setText("");
    dialog.txtImageCaption[1]->setText("Garden");
    dialog.txtImagePath[3]->setText("/srv/photos");
    dialog.Slider1->setValue(3);
    QTest::mouseClick(dialog.Command3, Qt::LeftButton);
    DestroyClosedWindows();

    EXPECT_EQ(forms::existingConfiguration(), nullptr);
    EXPECT_EQ(Stored("txtImageCaption1"), "");
    EXPECT_EQ(Stored("txtImageCaption2"), "Garden");
    EXPECT_EQ(Stored("txtImageCaption3"), "");
    EXPECT_EQ(Stored("varImagePath4"), "/srv/photos");
    EXPECT_EQ(Stored("varImagePath1"), "");
    EXPECT_EQ(Stored("varSlideShowDelayTime"), "3");
    EXPECT_EQ(Stored("varSlideShowType"), "2");
    EXPECT_EQ(forms::frmSearch().lblImageCaption1->Caption(), "");
    EXPECT_EQ(forms::frmSearch().lblImageCaption2->Caption(), "Garden");
    EXPECT_TRUE(messages.empty());
}

TEST_F(ConfigurationTest, SavingAnUntouchedBoxKeepsBytesThatAreNotValidText)
{
    const std::string latin1Path = "/photos/\xC9t\xE9 \xE0 N\xEEmes";
    Store("varImagePath2", latin1Path);
    Store("txtImageCaption2", "\xC9t\xE9");
    Configuration& dialog = Open();
    EXPECT_FALSE(dialog.txtImagePath[1]->text().isEmpty());
    dialog.txtImagePath[0]->setText("/photos/new");
    QTest::mouseClick(dialog.Command3, Qt::LeftButton);
    EXPECT_EQ(Stored("varImagePath2"), latin1Path);
    EXPECT_EQ(Stored("txtImageCaption2"), "\xC9t\xE9");
    EXPECT_EQ(Stored("varImagePath1"), "/photos/new");
}

TEST_F(ConfigurationTest, FailedSaveChangesNothingIsReportedAndKeepsTheDialogOpen)
{
    // Real failures: a damaged file refuses the first value; a file allowed to
    // grow by two pages takes the first long folder path or two, then refuses.
    struct Failure {
        const char* name;
        std::function<void(QFile&)> prepare;
        bool limitGrowth;
    };
    const Failure failures[] = {
        {"damaged store",
         [](QFile& file) {
             ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
             file.write(QByteArray(8192, 'x'));
             file.close();
         },
         false},
        {"store that fills up part-way", [](QFile&) {}, true},
    };
    const QString longPath = "/photos/" + QString(3000, QLatin1Char('p'));
    for (const Failure& failure : failures) {
        TempStore store;
        Store("txtImageCaption1", "Old name");
        Store("varImagePath1", "/old/path");
        Store("varSlideShowDelayTime", "2");
        QFile file(store.storeFile());
        failure.prepare(file);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        forms::frmSearch().Command1_Click();
        const QString captionBefore = forms::frmSearch().lblImageCaption1->Caption();

        Configuration& dialog = Open();
        for (QLineEdit* path : dialog.txtImagePath)
            path->setText(longPath);
        dialog.txtImageCaption[0]->setText("Typed");
        dialog.Slider1->setValue(6);
        rlimit unlimited{};
        ::getrlimit(RLIMIT_FSIZE, &unlimited);
        const auto previousSignal = ::signal(SIGXFSZ, SIG_IGN);  // a refused write fails instead
        if (failure.limitGrowth) {
            rlimit limit = unlimited;
            limit.rlim_cur = static_cast<rlim_t>(before.size() + 2 * 4096);
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        QTest::mouseClick(dialog.Command3, Qt::LeftButton);
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        ::signal(SIGXFSZ, previousSignal);
        DestroyClosedWindows();

        ASSERT_EQ(forms::existingConfiguration(), &dialog) << failure.name;
        EXPECT_TRUE(dialog.isVisible()) << failure.name;
        ASSERT_EQ(messages.size(), 1u) << failure.name;
        EXPECT_TRUE(messages[0].contains("not saved")) << messages[0].toStdString();
        EXPECT_EQ(dialog.txtImagePath[3]->text(), longPath) << failure.name;
        EXPECT_EQ(dialog.txtImageCaption[0]->text(), "Typed") << failure.name;
        EXPECT_EQ(dialog.Slider1->value(), 6) << failure.name;
        EXPECT_EQ(forms::frmSearch().lblImageCaption1->Caption(), captionBefore) << failure.name;
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), before) << failure.name << ": the store changed";
        file.close();

        // Choosing a slide-show type on a store that refuses is reported the same way.
        if (!failure.limitGrowth) {
            QTest::mouseClick(dialog.Option2, Qt::LeftButton);
            EXPECT_EQ(messages.size(), 2u);
        }
        messages.clear();
        dialog.close();
        DestroyClosedWindows();
    }
}

TEST_F(ConfigurationTest, EachTabShowsExactlyItsOwnPage)
{
    Configuration& dialog = Open();
    QTabBar* tabs = dialog.TabStrip1->tabBar();
    const int order[] = {2, 1, 0, 1, 2};
    for (int tab : order) {
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(tab).center());
        EXPECT_EQ(dialog.Frame1->isVisible(), tab == 0) << tab;
        EXPECT_EQ(dialog.Frame2->isVisible(), tab == 1) << tab;
        EXPECT_EQ(dialog.Frame3->isVisible(), tab == 2) << tab;
    }
    EXPECT_EQ(dialog.Label15->text(), "Marbleglen v1.1.4");
    EXPECT_TRUE(dialog.Label15->font().bold());
    EXPECT_EQ(dialog.Label13->text(), "Released 22nd October 2005");
}

TEST_F(ConfigurationTest, DelayCaptionFollowsTheSliderOnlyWhileItHasTheFocus)
{
    Configuration& dialog = Open();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    dialog.Slider1->setFocus();
    ASSERT_TRUE(dialog.Timer1->isActive());
    QTest::keyClick(dialog.Slider1, Qt::Key_Right);  // 2 -> 3
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.Label1->text() == "Delay:  Two Seconds"; }, 1000));
    QTest::keyClick(dialog.Slider1, Qt::Key_End);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return dialog.Label1->text() == "Delay:  Fifteen Seconds"; }, 1000));

    dialog.Command3->setFocus();
    EXPECT_FALSE(dialog.Timer1->isActive());
    dialog.Slider1->setValue(1);
    QTest::qWait(250);
    EXPECT_EQ(dialog.Label1->text(), "Delay:  Fifteen Seconds");
}

TEST_F(ConfigurationTest, FolderPictureSetsItsOwnPathAndName)
{
    struct Call {
        QWidget* owner;
        QString title;
    };
    std::vector<Call> calls;
    QByteArray answer;
    SetFolderChooser([&](QWidget* owner, const QString& title) {
        calls.push_back({owner, title});
        return answer;
    });
    Configuration& dialog = Open();
    for (int i = 0; i < 4; ++i) {
        dialog.txtImageCaption[i]->setText(QString("typed %1").arg(i + 1));
        dialog.txtImagePath[i]->setText(QString("/old/%1").arg(i + 1));
    }
    dialog.TabStrip1->setCurrentIndex(1);

    const struct {
        int folder;
        QByteArray chosen;
        QString path;
        QString name;
    } steps[] = {
        {3, "/home/me/Photos/Summer 2005", "/home/me/Photos/Summer 2005", "Summer 2005"},
        {1, "", "/old/1", "typed 1"},  // cancelled
        {4, "/", "/", ""},
        {2, "/media/card", "/media/card", "card"},
    };
    for (const auto& step : steps) {
        answer = step.chosen;
        QWidget* picture = dialog.imgPathSelect[step.folder - 1];
        QTest::mouseClick(picture, Qt::LeftButton, {}, picture->rect().center());
        EXPECT_EQ(dialog.txtImagePath[step.folder - 1]->text(), step.path) << step.folder;
        EXPECT_EQ(dialog.txtImageCaption[step.folder - 1]->text(), step.name) << step.folder;
    }
    // Folder 1 was cancelled and folder 3 chosen: neither touched another folder.
    EXPECT_EQ(dialog.txtImagePath[2]->text(), "/home/me/Photos/Summer 2005");
    ASSERT_EQ(calls.size(), 4u);
    for (const Call& call : calls) {
        EXPECT_EQ(call.owner, &dialog);
        EXPECT_EQ(call.title, "Select Folder");
    }
    dialog.close();
    DestroyClosedWindows();
    EXPECT_EQ(Stored("varImagePath3"), "");
    EXPECT_EQ(Stored("txtImageCaption3"), "");
}

namespace {
// A box of this kind that is shown, or nullptr.
template <class Box>
Box* ShownBox()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<Box*>(window); box && box->isVisible())
            return box;
    return nullptr;
}

// HOME names another folder for as long as this lives.
class HomeAt {
public:
    explicit HomeAt(const QString& folder) : previous_(qgetenv("HOME")), had_(qEnvironmentVariableIsSet("HOME"))
    {
        qputenv("HOME", QFile::encodeName(folder));
    }
    ~HomeAt() { had_ ? qputenv("HOME", previous_) : qunsetenv("HOME"); }
    HomeAt(const HomeAt&) = delete;
    HomeAt& operator=(const HomeAt&) = delete;

private:
    QByteArray previous_;
    bool had_;
};
}  // namespace

TEST_F(ConfigurationTest, QtChooserIsModalToTheDialogOffersFoldersOnlyAndAlwaysStartsAtHome)
{
    QTemporaryDir home;
    const HomeAt homeAt(home.path());
    QTemporaryDir root;
    const QByteArray rootBytes = QFile::encodeName(QDir(root.path()).canonicalPath());
    // A Latin-1 name on a UTF-8 system: shown with a replacement character.
    const QByteArray latin1 = "\xC9t\xE9 2005";
    ASSERT_EQ(::mkdir((rootBytes + "/" + latin1).constData(), 0700), 0);
    ASSERT_TRUE(QDir(root.path()).mkdir("Summer 2005"));
    Configuration& dialog = Open();
    dialog.txtImageCaption[1]->setText("typed");

    // The chooser runs its own event loop; answer it from inside that loop as a
    // user would: cancel, or go to a folder, type a name (if any) and press Enter.
    struct Seen {
        QString title;
        QWidget* parent = nullptr;
        bool foldersOnly = false;
        bool refused = false;  // the chooser said it could not find the folder
        QString openedAt;
        bool dialogTookInput = false;
    };
    auto answer = [](bool accept, Seen* seen, const QString& folder, const QString& typed) {
        auto poll = std::make_unique<QTimer>();
        auto ticks = std::make_shared<int>(0), answeredAt = std::make_shared<int>(-100);
        QObject::connect(poll.get(), &QTimer::timeout, poll.get(), [=] {
            ++*ticks;
            if (auto* box = ShownBox<QMessageBox>()) {
                seen->refused = true;
                box->reject();
                return;
            }
            auto* chooser = ShownBox<QFileDialog>();
            if (!chooser)
                return;
            seen->title = chooser->windowTitle();
            seen->parent = chooser->parentWidget();
            seen->foldersOnly = chooser->fileMode() == QFileDialog::Directory &&
                                chooser->testOption(QFileDialog::ShowDirsOnly);
            if (seen->openedAt.isEmpty()) {
                seen->openedAt = chooser->directory().absolutePath();
                auto* dialog = static_cast<Configuration*>(chooser->parentWidget());
                const QString before = dialog->txtImageCaption[0]->text();
                QTest::keyClicks(dialog->txtImageCaption[0], "x");
                seen->dialogTookInput = dialog->txtImageCaption[0]->text() != before;
                dialog->txtImageCaption[0]->setText(before);
            }
            if (!accept) {
                chooser->reject();
                return;
            }
            if (seen->refused || *ticks > 250) {  // 5 s: the chooser takes no answer
                seen->refused = true;
                chooser->reject();
                return;
            }
            if (*ticks - *answeredAt < 25)
                return;  // let the last answer act before answering again
            *answeredAt = *ticks;
            chooser->setDirectory(folder);
            // Queued, so that a message box the chooser opens is answered here.
            if (auto* name = chooser->findChild<QLineEdit*>("fileNameEdit"); name && !typed.isEmpty()) {
                name->setText(typed);
                QTimer::singleShot(0, name, [name] { QTest::keyClick(name, Qt::Key_Return); });
            } else {
                QTimer::singleShot(0, chooser, [chooser] { static_cast<QDialog*>(chooser)->accept(); });
            }
        });
        poll->start(20);
        return poll;  // answers until dropped
    };

    Seen cancelled;
    auto poll = answer(false, &cancelled, {}, {});
    dialog.imgPathSelect2_Click();
    EXPECT_EQ(cancelled.title, "Select Folder");
    EXPECT_EQ(cancelled.parent, &dialog);
    EXPECT_TRUE(cancelled.foldersOnly);
    EXPECT_EQ(dialog.txtImagePath[1]->text(), "");
    EXPECT_EQ(dialog.txtImageCaption[1]->text(), "typed");

    Seen accepted;
    const QString chosen = QFile::decodeName(rootBytes + "/Summer 2005");
    poll = answer(true, &accepted, chosen, {});
    dialog.imgPathSelect2_Click();
    EXPECT_EQ(accepted.title, "Select Folder");
    EXPECT_EQ(dialog.txtImagePath[1]->text(), chosen);
    EXPECT_EQ(dialog.txtImageCaption[1]->text(), "Summer 2005");

    // The Latin-1 folder, typed as the chooser shows it, is stored with its bytes.
    Seen typedLatin1;
    poll = answer(true, &typedLatin1, QFile::decodeName(rootBytes), QFile::decodeName(latin1));
    dialog.imgPathSelect3_Click();
    poll.reset();
    EXPECT_FALSE(typedLatin1.refused);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(dialog.txtImagePath[2]->text(), QFile::decodeName(rootBytes + "/" + latin1));
    EXPECT_EQ(dialog.txtImageCaption[2]->text(), QFile::decodeName(latin1));
    QTest::mouseClick(dialog.Command3, Qt::LeftButton);
    EXPECT_EQ(Stored("varImagePath3"), (rootBytes + "/" + latin1).toStdString());
    EXPECT_EQ(Stored("varImagePath2"), chosen.toStdString());

    // Every click starts at home: not where the last choice was made.
    for (const Seen* seen : {&cancelled, &accepted, &typedLatin1}) {
        EXPECT_EQ(seen->openedAt.toStdString(), QDir(home.path()).absolutePath().toStdString());
        EXPECT_FALSE(seen->dialogTookInput);
    }
}

TEST_F(ConfigurationTest, MessageBoxBelongsToAWindowAndTakesItsAnswerWhileTheDialogIsShown)
{
    forms::frmSearch().show();
    Open();
    const MsgBoxHook sink = setMsgBoxHook({});  // the real box
    QWidget* owner = nullptr;
    bool answered = false;
    int ticks = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = ShownBox<QMessageBox>();
        if (!box)
            return;
        owner = box->parentWidget();
        if (++ticks == 1) {
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            answered = !box->isVisible();
        } else {
            box->done(0);  // the click did not reach it
        }
    });
    poll.start(20);
    // No window of the program active: a message from a timer while another
    // program is in front.
    QApplication::setActiveWindow(nullptr);
    ProgramContext::running()->MsgBox("A message");
    poll.stop();
    setMsgBoxHook(sink);
    EXPECT_NE(owner, nullptr);
    EXPECT_TRUE(answered) << "the dialog kept the box from its answer";
}

TEST_F(ConfigurationTest, EveryControlIsFoundByItsNameAndNamedForAccessibility)
{
    Configuration& dialog = Open();
    const char* names[] = {
        "TabStrip1",        "Frame1",           "Frame2",           "Frame3",
        "Command1",         "Command2",         "Command3",         "Image1",
        "Label1",           "Slider1",          "Label2",           "Option1",
        "Option2",          "Label12",          "Label3",           "Label4",
        "Label5",           "Label6",           "Label7",           "Label8",
        "Label9",           "Label11",          "txtImageCaption1", "txtImageCaption2",
        "txtImageCaption3", "txtImageCaption4", "txtImagePath1",    "txtImagePath2",
        "txtImagePath3",    "txtImagePath4",    "imgPathSelect1",   "imgPathSelect2",
        "imgPathSelect3",   "imgPathSelect4",   "Label13",          "Label14",
        "Label15",          "Label16",          "Label17",          "Label18",
        "Label19",          "chkOtherTypes",
    };
    for (const char* name : names) {
        auto* widget = dialog.findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr) << name;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(accessible, nullptr) << name;
        if (std::string(name).rfind("Frame", 0) != 0) {
            EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << name;
        }
    }
    EXPECT_NE(dialog.findChild<QTimer*>("Timer1"), nullptr);
    EXPECT_FALSE(dialog.Command1->isVisible());
    EXPECT_FALSE(dialog.Command2->isVisible());
    EXPECT_EQ(dialog.size(), QSize(385, 265));
    EXPECT_EQ(dialog.windowTitle(), "Configuration Options");
}

TEST_F(ConfigurationTest, OtherPictureTypesBoxShowsTheStoredSwitchAndIsStoredOnSave)
{
    struct Case {
        const char* stored;  // nullptr: never stored
        bool shown;          // ticked when the dialog opens
        bool tick;           // the user's choice before saving
        const char* saved;   // "" when nothing is written
    } cases[] = {
        {nullptr, false, false, ""},  // never switched: the store holds the nine values only
        {nullptr, false, true, "1"},
        {"1", true, false, "0"},
        {"0", false, false, "0"},
        {"yes", false, true, "1"},
    };
    for (const Case& c : cases) {
        TempStore fresh;
        if (c.stored)
            Store("varOtherPictureTypes", c.stored);
        Configuration& dialog = Open();
        EXPECT_EQ(dialog.chkOtherTypes->isChecked(), c.shown) << (c.stored ? c.stored : "never stored");
        if (dialog.chkOtherTypes->isChecked() != c.tick)
            QTest::mouseClick(dialog.chkOtherTypes, Qt::LeftButton);
        // Nothing is stored until the dialog is saved.
        EXPECT_EQ(Stored("varOtherPictureTypes"), c.stored ? c.stored : "");
        QTest::mouseClick(dialog.Command3, Qt::LeftButton);
        DestroyClosedWindows();
        EXPECT_EQ(Stored("varOtherPictureTypes"), c.saved) << (c.stored ? c.stored : "never stored");
    }
}

TEST_F(ConfigurationTest, OtherPictureTypesBoxSitsBelowTheDescriptionWithinItsPage)
{
    Store("varSlideShowType", "2");  // the longer description
    Configuration& dialog = Open();
    const QCheckBox* box = dialog.chkOtherTypes;
    EXPECT_EQ(box->text(), "Also show other picture types");
    EXPECT_EQ(box->parentWidget(), dialog.Frame1);
    EXPECT_TRUE(dialog.Frame1->rect().contains(box->geometry())) << "whole, inside the page";
    // The description's text, as wrapped in its box, ends above the check box.
    const QRect text = dialog.Label12->fontMetrics().boundingRect(
        dialog.Label12->contentsRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, dialog.Label12->text());
    EXPECT_LT(dialog.Label12->geometry().top() + text.bottom(), box->geometry().top() + box->height() / 4);
    for (const QWidget* other : dialog.Frame1->findChildren<QWidget*>()) {
        if (other != box && other != dialog.Label12 && other->parentWidget() == dialog.Frame1) {
            EXPECT_FALSE(other->geometry().intersects(box->geometry())) << other->objectName().toStdString();
        }
    }
}
