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
    const auto interval = DelayInterval(AppSettings::ReadText(AppSettings::kSlideShowDelayTime));
    if (!interval)
        return;
    Timer1->setInterval(*interval);
    Timer2->setInterval(*interval);
}

// Makes one entry of the list current and shows nothing; the slide show
// holds the rules.
void fImage::RandomNumber_Click() { perform(data_.slideShow.RandomPick(images_)); }

// A tick of either timer steps the show in the order it runs.
void fImage::Timer1_Timer() { perform(data_.slideShow.Tick(images_)); }

void fImage::Timer2_Timer() { perform(data_.slideShow.Tick(images_)); }
