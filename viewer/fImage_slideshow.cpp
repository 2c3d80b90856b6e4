// The viewer's slide-show operations: the delay, the progressive and the random step.
#include "viewer/fImage.h"

void fImage::RandomNumber_Click() {}
void fImage::SetTimer_Click() {}
void fImage::Timer1_Timer() {}
void fImage::Timer2_Timer() {}
