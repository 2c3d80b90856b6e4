#pragma once

#include <QEvent>
#include <QString>

#include <functional>

#include "app/ProgramContext.h"

// Runs one statement of a handler that must carry on whatever happens: any
// failure is dropped and the handler goes on with its next statement.
template <class Statement>
void tryStatement(Statement&& statement) noexcept
{
    try {
        statement();
    } catch (...) {
    }
}

// What a modal window keeps from the windows it blocks: pointer, keys, touch
// and tablet. A close request is not among them.
bool IsUserInput(QEvent::Type type);

// The running context's message box and end of program, for tests that reach
// the windows by name. Each setter returns the one it replaces; an empty
// function puts the real one back.
using MsgBoxHook = ProgramContext::MessageSink;
using EndProgramHook = ProgramContext::EndSink;
MsgBoxHook setMsgBoxHook(MsgBoxHook hook);
EndProgramHook setEndProgramHook(EndProgramHook hook);
