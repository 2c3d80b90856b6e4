#include "app/forms.h"

#include "app/form_runtime.h"
#include "app/frmSearch.h"
#include "config/Configuration.h"
#include "viewer/fImage.h"

namespace {
FormSlot<frmSearch>& searchSlot()
{
    static FormSlot<frmSearch> slot;
    return slot;
}
FormSlot<fImage>& imageSlot()
{
    static FormSlot<fImage> slot;
    return slot;
}
FormSlot<Configuration>& configurationSlot()
{
    static FormSlot<Configuration> slot;
    return slot;
}
}  // namespace

namespace forms {
::frmSearch& frmSearch() { return searchSlot()(); }
::fImage& fImage() { return imageSlot()(); }
::Configuration& Configuration() { return configurationSlot()(); }

::frmSearch* existingFrmSearch() { return searchSlot().existing(); }
::fImage* existingFImage() { return imageSlot().existing(); }
::Configuration* existingConfiguration() { return configurationSlot().existing(); }
}  // namespace forms
