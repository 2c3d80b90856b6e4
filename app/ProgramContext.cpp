#include "app/runtime_services.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <exception>

#include "settings/registry_error.h"

ProgramContext* ProgramContext::running_ = nullptr;

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
        return true;
    default:
        return false;
    }
}

namespace {

// The window `window` belongs to: its parent's, or the one it is shown for.
QWidget* OwnerOf(const QWidget* window)
{
    if (QWidget* parent = window->parentWidget())
        return parent->window();
    const QWindow* handle = window->windowHandle();
    const QWindow* shownFor = handle ? handle->transientParent() : nullptr;
    if (!shownFor)
        return nullptr;
    for (QWidget* candidate : QApplication::topLevelWidgets())
        if (candidate->windowHandle() == shownFor)
            return candidate;
    return nullptr;
}

// Keeps a box's owners from input while it is open: its parent's window and
// the windows that one belongs to. A blocked window that takes the activation
// hands it back to the innermost box. Ends the box's loop once the box is hidden:
// answered, closed, or hidden with every window at the end of the program.
class ModalInputBlock : public QObject {
public:
    ModalInputBlock(QDialog& box, ProgramContext& program, QEventLoop& loop)
        : box_(&box), program_(program), main_(program.Main().existingWindow()), loop_(loop)
    {
        connect(&box, &QObject::destroyed, &loop, &QEventLoop::quit);
        for (QWidget* w = box.parentWidget() ? box.parentWidget()->window() : nullptr; w; w = OwnerOf(w))
            blocked_.emplace_back(w);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!watched->isWidgetType())
            return false;
        if (watched == box_ && event->type() == QEvent::Hide)
            loop_.quit();
        const auto* widget = static_cast<QWidget*>(watched);
        if (IsUserInput(event->type()))
            return blocks(widget->window());
        // The main window's close request ends the program whatever is open.
        // Another window keeps it, as under Qt's modality: closing it would
        // destroy the box's owner while the box is still open.
        if (event->type() == QEvent::Close && event->spontaneous() && widget != main_ && blocks(widget)) {
            event->ignore();
            return true;
        }
        if (event->type() == QEvent::WindowActivate && widget->isWindow() && blocks(widget)
            && program_.openModalBox() == box_)
            QTimer::singleShot(0, box_, [box = box_] {
                box->raise();
                box->activateWindow();
            });
        return false;
    }

private:
    bool blocks(const QWidget* window) const
    {
        return std::any_of(blocked_.begin(), blocked_.end(),
                           [window](const QPointer<QWidget>& w) { return w == window; });
    }

    QPointer<QDialog> box_;
    const ProgramContext& program_;
    const QWidget* main_;
    QEventLoop& loop_;
    std::vector<QPointer<QWidget>> blocked_;
};

}  // namespace

ProgramContext::ProgramContext() : outer_(std::exchange(running_, this)) {}

ProgramContext::~ProgramContext() { running_ = outer_; }

void ProgramContext::MsgBox(const QString& prompt)
{
    if (message_) {
        message_(prompt);
        return;
    }
    // Owned here unless its owner goes first and takes it along.
    QPointer<QMessageBox> box =
        new QMessageBox(QMessageBox::NoIcon, "Marbleglen", prompt, QMessageBox::Ok, messageOwner());
    RunModal(*box);
    delete box.data();
}

// The user's window; else the box already open, the main window, any window
// shown. A box of no window would be kept from input by the dialog.
QWidget* ProgramContext::messageOwner()
{
    if (QWidget* active = QApplication::activeWindow())
        return active;
    if (QDialog* box = openModalBox())
        return box;
    if (QWidget* main = Main().existingWindow())
        return main;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible())
            return window;
    return nullptr;
}

// Not Qt's modality: Qt drops every close request to a window that a modal
// one blocks, and the main window's close box must end the program even now.
int ProgramContext::RunModal(QDialog& box)
{
    QPointer<QDialog> alive(&box);
    box.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    ModalInputBlock block(box, *this, loop);
    qApp->installEventFilter(&block);
    boxes_.emplace_back(&box);
    box.show();
    box.raise();
    box.activateWindow();  // a window manager need not hand it to a new window
    if (box.isVisible())
        loop.exec(QEventLoop::DialogExec);
    std::erase_if(boxes_, [&](const QPointer<QDialog>& open) { return open.isNull() || open == alive; });
    qApp->removeEventFilter(&block);
    return alive ? alive->result() : QDialog::Rejected;
}

QDialog* ProgramContext::openModalBox() const
{
    for (auto box = boxes_.rbegin(); box != boxes_.rend(); ++box)
        if (*box)
            return *box;
    return nullptr;
}

bool ProgramContext::isModalBox(const QWidget* window) const
{
    for (const QWidget* w = window; w; w = w->parentWidget())
        if (std::find(boxes_.begin(), boxes_.end(), w) != boxes_.end())
            return true;
    return false;
}

void ProgramContext::EndProgram()
{
    if (end_) {
        end_();
        return;
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        // Destroyed by main() once every handler has returned: a message box
        // beneath this close may still be running its own event loop.
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->hide();
    }
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
