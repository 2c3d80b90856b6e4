#include "viewer/WheelHook.h"

#include <QPointer>
#include <QWheelEvent>

#include "viewer/fImage.h"

namespace {

constexpr int kNotch = 120;

class WheelFilter : public QObject {
public:
    explicit WheelFilter(fImage* window) : window_(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == window_ && event->type() == QEvent::Wheel) {
            auto* wheel = static_cast<QWheelEvent*>(event);
            const QPoint at = wheel->globalPosition().toPoint();
            window_->MouseWheel(static_cast<int>(wheel->buttons()), notches_.step(wheel->angleDelta().y()), at.x(),
                                at.y());
        }
        return false;  // the window's own handling goes on
    }

private:
    QPointer<fImage> window_;
    WheelNotches notches_;
};

}  // namespace

int WheelNotches::step(int delta)
{
    if (delta >= kNotch || delta <= -kNotch) {
        pending_ = 0;
        return delta;
    }
    if (delta == 0)
        return 0;
    if ((pending_ > 0 && delta < 0) || (pending_ < 0 && delta > 0))
        pending_ = 0;
    pending_ += delta;
    if (pending_ >= kNotch || pending_ <= -kNotch) {
        const int notch = pending_ > 0 ? kNotch : -kNotch;
        pending_ -= notch;
        return notch;
    }
    return 0;
}

void WheelHook::Hook(fImage* window)
{
    Unhook();
    auto* filter = new WheelFilter(window);
    filter->setParent(window);  // goes with the window should it die hooked
    window->installEventFilter(filter);
    window_ = window;
    filter_ = filter;
}

void WheelHook::Unhook()
{
    if (window_ && filter_)
        window_->removeEventFilter(filter_);
    delete filter_.data();
    window_ = nullptr;
    filter_ = nullptr;
}
