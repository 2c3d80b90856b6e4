// The viewer's slide-show operations: the delay, the progressive and the random step.
#include <QLineEdit>
#include <QTimer>

#include "app/ImageListBox.h"
#include "app/forms.h"
#include "app/frmSearch.h"
#include "settings/AppSettings.h"
#include "viewer/DelayTable.h"
#include "viewer/fImage.h"

// Read once per opening of the viewer: a delay changed while a show runs
// takes effect the next time the viewer opens.
void fImage::SetTimer_Click()
{
    const auto interval = DelayInterval(AppSettings::ReadText("varSlideShowDelayTime"));
    if (!interval)
        return;
    Timer1->setInterval(*interval);
    Timer2->setInterval(*interval);
}

// Selects one entry of the main window's list and shows nothing. A search
// between two picks leaves the reset flag at "1": the pick then begins a new
// cycle and puts the flag back to "0". An empty list (a search that found
// nothing while a show runs) leaves everything as it was.
void fImage::RandomNumber_Click()
{
    frmSearch& search = forms::frmSearch();
    const int n = search.List1->ListCount();
    if (n <= 0)
        return;
    const bool newCycle = search.txtResetCount->text() == "1";
    if (newCycle)
        search.txtResetCount->setText("0");
    search.List1->setSelected(data_.slideShow.order.Pick(n, newCycle));
    prepareNextPick(n);
}

// The next random position is drawn now and its picture decoded while this one
// is on screen, so the next tick only hands it over. The request waits until
// the caller's fit has asked for the current picture and its neighbours: the
// preparer keeps the most recently asked-for pictures.
void fImage::prepareNextPick(int n)
{
    if (n < 2)
        return;
    const int ahead = data_.slideShow.order.DrawAhead(n);
    QTimer::singleShot(0, this, [this, ahead] { PrepareEntry(ahead); });
}

void fImage::Timer1_Timer()
{
    forms::frmSearch().Command4_Click();
    Command1_Click();
}

void fImage::Timer2_Timer()
{
    RandomNumber_Click();
    Command1_Click();
}
