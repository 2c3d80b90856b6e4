#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "program/forms.h"
#include "app/frmSearch.h"
#include "config/Configuration.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"

// Real input through the X server and the window manager, so that modality,
// activation and the pages are exercised as a user meets them.
namespace {
void Xdotool(const QStringList& arguments)
{
    ASSERT_EQ(QProcess::execute("xdotool", arguments), 0) << arguments.join(' ').toStdString();
}

void ClickAt(QWidget* widget, QPoint local)
{
    const QPoint at = widget->mapToGlobal(local);
    Xdotool({"mousemove", "--sync", QString::number(at.x()), QString::number(at.y())});
    Xdotool({"click", "1"});
}

void Click(QWidget* widget) { ClickAt(widget, widget->rect().center()); }

// Generous: the machine may be busy with other work.
constexpr int kPatience = 15000;

bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, kPatience); }

QLabel* MainLabel(const char* name) { return forms::frmSearch().findChild<QLabel*>(name); }
}  // namespace

TEST(ConfigurationOnScreen, OpensFromMainWindowShowsEachTabAndSaves)
{
    TempStore store;
    {
        cRegistry reg = AppSettings::Open();
        reg.setValueKey("txtImageCaption1");
        reg.setValue(Variant(std::string("Old name")));
    }
    frmSearch& main = forms::frmSearch();
    main.show();
    // The window manager does not always hand a new window the focus; the
    // click on "Config Options" below gives it.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main, kPatience));
    QLabel* opener = MainLabel("lblChangeConfig");
    ASSERT_NE(opener, nullptr);
    ASSERT_EQ(MainLabel("lblImageCaption1")->text(), "Old name");

    Click(opener);
    ASSERT_TRUE(WaitFor([] {
        return forms::existingConfiguration() && forms::existingConfiguration()->isActiveWindow();
    }));
    Configuration& dialog = *forms::existingConfiguration();
    EXPECT_EQ(dialog.focusWidget(), dialog.Command3);
    EXPECT_TRUE(dialog.Frame1->isVisible());

    // The main window takes no input while the dialog is shown.
    ClickAt(&main, QPoint(5, main.height() / 2));
    QTest::qWait(300);
    EXPECT_TRUE(WaitFor([&] { return dialog.isActiveWindow(); }));

    QTabBar* tabs = dialog.TabStrip1->tabBar();
    QWidget* pages[] = {dialog.Frame1, dialog.Frame2, dialog.Frame3};
    for (int tab : {2, 0, 1}) {
        ClickAt(tabs, tabs->tabRect(tab).center());
        EXPECT_TRUE(WaitFor([&] { return pages[tab]->isVisible(); })) << tab;
        for (int other = 0; other < 3; ++other)
            EXPECT_EQ(pages[other]->isVisible(), other == tab) << tab;
    }

    Click(dialog.txtImageCaption[0]);
    ASSERT_TRUE(WaitFor([&] { return dialog.txtImageCaption[0]->hasFocus(); }));
    Xdotool({"key", "--clearmodifiers", "ctrl+a"});
    Xdotool({"type", "--delay", "20", "Garden"});
    ASSERT_TRUE(WaitFor([&] { return dialog.txtImageCaption[0]->text() == "Garden"; }));

    Click(dialog.Command3);
    ASSERT_TRUE(WaitFor([] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return forms::existingConfiguration() == nullptr;
    }));
    EXPECT_EQ(AppSettings::ReadText("txtImageCaption1"), "Garden");
    EXPECT_EQ(AppSettings::ReadText("varSlideShowDelayTime"), "2");
    EXPECT_EQ(MainLabel("lblImageCaption1")->text(), "Garden");
    main.hide();
}
