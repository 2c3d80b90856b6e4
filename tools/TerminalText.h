#pragma once

// Text from the settings store shown on a terminal. A value may come from
// someone else's file, and escape sequences in it could retitle, clear or
// reprogram the user's terminal, so control characters are shown, not sent.

#include <string>

namespace terminaltext {

// C0 controls but tab, DEL and bytes 0x80-0x9F that are not part of a UTF-8
// character become \xHH; C1 controls written as UTF-8 (U+0080-U+009F) become
// \u00HH. Everything else, backslashes included, stays as it is.
std::string EscapeControls(const std::string& s);

}  // namespace terminaltext
