// The viewer's slide-show operations: the delay, the progressive and the random step.
#include <QTimer>

#include "app/ImageList.h"
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

// Makes one entry of the list current and shows nothing; the slide show's
// Pick holds the rules.
void fImage::RandomNumber_Click()
{
    if (data_.slideShow.Pick(images_) >= 0)
        prepareNextPick(images_.count());
}

// The next random position is drawn now and its picture decoded while this one
// is on screen, so the next tick only hands it over. The request waits until
// the caller's fit has asked for the current picture and its neighbours: the
// preparer keeps the most recently asked-for pictures.
void fImage::prepareNextPick(int n)
{
    if (n < 2)
        return;
    const int ahead = data_.slideShow.Order().DrawAhead(n);
    QTimer::singleShot(0, this, [this, ahead] { PrepareEntry(ahead); });
}

void fImage::Timer1_Timer() { perform(SlideShow::Tick(ShowState::Progressive)); }

void fImage::Timer2_Timer() { perform(SlideShow::Tick(ShowState::Random)); }
