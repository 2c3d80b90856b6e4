#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>

// Turns the screen off and on again through the display's own power control:
//   X11       the X server's DPMS (libXext): forced off, and on waking forced
//             on, with DPMS disabled again when it was disabled before (its
//             timeouts are never touched, so the server's own settings stay);
//   Protocol  on a Wayland compositor that offers wlr-output-power-management,
//             the output the viewer is on, set off and on.
// Neither there (Xvfb and some X servers have no DPMS; GNOME's and KDE's
// compositors do not offer the protocol): Off() fails and turns nothing off.
// What it turned off it turns on again when it goes.
class DisplayPower {
public:
    enum class Way { None, X11, Protocol };

    explicit DisplayPower(QWidget* viewer);
    ~DisplayPower();
    DisplayPower(const DisplayPower&) = delete;
    DisplayPower& operator=(const DisplayPower&) = delete;

    // True when the screen was turned off (or already was, by this object).
    bool Off();
    void On();
    // How the screen is off now (None: it is not, by this object).
    Way off() const { return off_; }

private:
    struct X11Dpms;
    struct OutputPower;

    QPointer<QWidget> viewer_;
    Way off_ = Way::None;
    std::unique_ptr<X11Dpms> x11_;
    std::unique_ptr<OutputPower> output_;
};

const char* wayName(DisplayPower::Way way);
