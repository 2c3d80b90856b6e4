#pragma once

#include <QEvent>
#include <QObject>
#include <QPointer>

#include <functional>

#include "app/ProgramContext.h"

// Tells its owner the moment a window is closed, so that a closing window is
// never handed out again while its deletion is still pending.
class UnloadWatcher : public QObject {
public:
    UnloadWatcher(QObject* window, std::function<void()> unloaded)
        : QObject(window), unloaded_(std::move(unloaded))
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        // The program's windows never refuse to close.
        if (event->type() == QEvent::Close)
            unloaded_();
        return false;
    }

private:
    std::function<void()> unloaded_;
};

// A program-wide window reached by name. The window is created and loaded on
// first use; closing it (WA_DeleteOnClose) destroys it and its controls, while
// its form-level data lives on in the slot for the next load. From the close
// on, the slot counts the window as gone: the next use creates a new one.
//
// A Form provides: a nested `Data` type (its form-level data), a constructor
// taking `Data&` and the program's context, and `Form_Load()`, run once per
// creation.
template <class Form>
class FormSlot {
public:
    explicit FormSlot(ProgramContext& program) : program_(program) {}
    FormSlot(const FormSlot&) = delete;
    FormSlot& operator=(const FormSlot&) = delete;

    Form& operator()()
    {
        if (!window_) {
            window_ = new Form(data_, program_);
            created_ = window_;
            new UnloadWatcher(window_, [this] { window_.clear(); });
            window_->Form_Load();
        }
        return *window_;
    }

    // True while a window exists, without creating one.
    bool loaded() const { return !window_.isNull(); }
    Form* existing() const { return window_.data(); }

    typename Form::Data& data() { return data_; }

    // Destroys the window now, closed or not: a closed window awaiting its
    // deletion still holds on to what the program shares.
    void destroy() { delete created_.data(); }

private:
    ProgramContext& program_;
    typename Form::Data data_{};
    QPointer<Form> window_;
    QPointer<Form> created_;  // the last window made, until it is deleted
};
