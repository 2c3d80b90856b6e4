#pragma once

#include <QObject>
#include <QPointer>

class QWidget;
class QWindow;
struct wl_display;
struct wl_event_queue;
struct wl_surface;
struct zwp_idle_inhibit_manager_v1;
struct zwp_idle_inhibitor_v1;

// Holds idling off through the Wayland idle-inhibit protocol for as long as it
// lives. The inhibitor sits on the viewer's own surface, which exists only
// while the window is shown (and is made anew when it is shown again), so it
// follows the window: put on when the window is exposed, taken off when it
// hides, destroyed with this object. held() is true when the compositor
// offers the protocol; off Wayland, or built without Wayland, it is false.
class IdleInhibitProtocol : public QObject {
public:
    explicit IdleInhibitProtocol(QWidget* viewer);
    ~IdleInhibitProtocol() override;

    bool held() const { return manager_ != nullptr; }
    // True while an inhibitor is on the viewer's surface.
    bool onSurface() const { return inhibitor_ != nullptr; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchWindow();
    void follow();
    void drop();

    QPointer<QWidget> viewer_;
    QPointer<QWindow> window_;
    wl_display* display_ = nullptr;
    wl_event_queue* queue_ = nullptr;
    zwp_idle_inhibit_manager_v1* manager_ = nullptr;
    zwp_idle_inhibitor_v1* inhibitor_ = nullptr;
    wl_surface* surface_ = nullptr;
};
