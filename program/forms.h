#pragma once

// The program's three windows, each one program-wide object reached by name.
// Calling an accessor creates and loads the window when it does not exist.

class frmSearch;
class fImage;
class Configuration;

namespace forms {
::frmSearch& frmSearch();
::fImage& fImage();
::Configuration& Configuration();

// Without creating anything: the window if it exists, else nullptr.
::frmSearch* existingFrmSearch();
::fImage* existingFImage();
::Configuration* existingConfiguration();
}  // namespace forms
