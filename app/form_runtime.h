#pragma once

#include <QPointer>

// A program-wide window reached by name. The window is created and loaded on
// first use; closing it (WA_DeleteOnClose) destroys it and its controls, while
// its form-level data lives on in the slot for the next load.
//
// A Form provides: a nested `Data` type (its form-level data), a constructor
// taking `Data&`, and `Form_Load()`, run once per creation.
template <class Form>
class FormSlot {
public:
    Form& operator()()
    {
        if (!window_) {
            window_ = new Form(data_);
            window_->Form_Load();
        }
        return *window_;
    }

    // True while a window exists, without creating one.
    bool loaded() const { return !window_.isNull(); }
    Form* existing() const { return window_.data(); }

    typename Form::Data& data() { return data_; }

private:
    typename Form::Data data_{};
    QPointer<Form> window_;
};
