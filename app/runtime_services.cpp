#include "app/runtime_services.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include <exception>

#include "settings/registry_error.h"

namespace {
MsgBoxHook& msgBoxHook()
{
    static MsgBoxHook hook;
    return hook;
}
EndProgramHook& endProgramHook()
{
    static EndProgramHook hook;
    return hook;
}
}  // namespace

void MsgBox(const QString& prompt)
{
    if (msgBoxHook()) {
        msgBoxHook()(prompt);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, "Marbleglen", prompt, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

void EndProgram()
{
    if (endProgramHook()) {
        endProgramHook()();
        return;
    }
    for (QWidget* window : QApplication::topLevelWidgets())
        window->hide();
    // Leaving the event loop: nothing queued runs any more, and main() then
    // destroys the windows so their resources are given back.
    QCoreApplication::exit(0);
}

MsgBoxHook setMsgBoxHook(MsgBoxHook hook) { return std::exchange(msgBoxHook(), std::move(hook)); }

EndProgramHook setEndProgramHook(EndProgramHook hook)
{
    return std::exchange(endProgramHook(), std::move(hook));
}

void runHandler(const std::function<void()>& handler) noexcept
{
    try {
        handler();
    } catch (const RegistryError& e) {
        MsgBox(QString::fromStdString(e.Description()));
    } catch (const std::exception& e) {
        MsgBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
    }
}
