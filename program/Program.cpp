#include "program/Program.h"

Program::Program() = default;

Program::~Program()
{
    // The windows go while the application still exists, so that what they
    // hold (a screen-saver inhibition, the wheel hook) is given back.
    viewer_.destroy();
    configuration_.destroy();
    main_.destroy();
}

QWidget* Program::existingWindow() { return main_.existing(); }

void Program::ReloadCaptions() { main_().Command1_Click(); }

void Program::View()
{
    viewer_().show();
    viewer_().Command1_Click();
}

void Program::StartSlideShow(int type) { viewer_().StartSlideShow(type); }

void Program::Show() { configuration_().show(); }
