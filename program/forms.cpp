#include "program/forms.h"

#include "program/Program.h"

// The windows of the program being run, for tests and tools that reach them
// by name rather than through a context they were handed.
namespace forms {
::frmSearch& frmSearch() { return Program::running()->frmSearch(); }
::fImage& fImage() { return Program::running()->fImage(); }
::Configuration& Configuration() { return Program::running()->Configuration(); }

::frmSearch* existingFrmSearch() { return Program::running()->existingFrmSearch(); }
::fImage* existingFImage() { return Program::running()->existingFImage(); }
::Configuration* existingConfiguration() { return Program::running()->existingConfiguration(); }
}  // namespace forms
