#pragma once

#include <QString>

#include <functional>

// What every window relies on beside the form slots: message boxes, ending the
// program, and the two ways a handler treats a failing statement.

// A message to the user: one OK button, no icon, titled "Marbleglen".
void MsgBox(const QString& prompt);

// Ends the program at once: every window disappears and no window's unload
// handling runs. Destructors still run (the event loop is left, not the
// process killed), so whatever holds a system resource can release it.
void EndProgram();

// Tests replace the message box (it would wait for a click) and the end of
// the program. Each setter returns the one it replaces; an empty function
// puts the real one back.
using MsgBoxHook = std::function<void(const QString& prompt)>;
using EndProgramHook = std::function<void()>;
MsgBoxHook setMsgBoxHook(MsgBoxHook hook);
EndProgramHook setEndProgramHook(EndProgramHook hook);

// Runs one statement of a handler that must carry on whatever happens: a
// failure is dropped and the handler goes on with its next statement.
template <class Statement>
void tryStatement(Statement&& statement) noexcept
{
    try {
        statement();
    } catch (...) {
    }
}

// Runs an event handler called from the event loop. An error ends the handler
// at the failing statement and its description is shown; it never reaches
// the event loop.
void runHandler(const std::function<void()>& handler) noexcept;
