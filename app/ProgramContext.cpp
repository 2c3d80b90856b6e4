#include "app/runtime_services.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include <exception>

#include "settings/registry_error.h"

ProgramContext* ProgramContext::running_ = nullptr;

ProgramContext::ProgramContext() : outer_(std::exchange(running_, this)) {}

ProgramContext::~ProgramContext() { running_ = outer_; }

void ProgramContext::MsgBox(const QString& prompt)
{
    if (message_) {
        message_(prompt);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, "Marbleglen", prompt, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

void ProgramContext::EndProgram()
{
    if (end_) {
        end_();
        return;
    }
    for (QWidget* window : QApplication::topLevelWidgets())
        window->hide();
    // Leaving the event loop: nothing queued runs any more, and main() then
    // destroys the windows so their resources are given back.
    QCoreApplication::exit(0);
}

void ProgramContext::runHandler(const std::function<void()>& handler) noexcept
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

ProgramContext::MessageSink ProgramContext::setMessageSink(MessageSink sink)
{
    return std::exchange(message_, std::move(sink));
}

ProgramContext::EndSink ProgramContext::setEndSink(EndSink sink) { return std::exchange(end_, std::move(sink)); }

MsgBoxHook setMsgBoxHook(MsgBoxHook hook)
{
    ProgramContext* program = ProgramContext::running();
    return program ? program->setMessageSink(std::move(hook)) : MsgBoxHook();
}

EndProgramHook setEndProgramHook(EndProgramHook hook)
{
    ProgramContext* program = ProgramContext::running();
    return program ? program->setEndSink(std::move(hook)) : EndProgramHook();
}
