#include "viewer/IdleInhibitProtocol.h"

#include <QEvent>
#include <QPlatformSurfaceEvent>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#ifdef MARBLEGLEN_WAYLAND
#include <qpa/qplatformnativeinterface.h>
#include <wayland-client.h>

#include <cstring>

#include "idle-inhibit-unstable-v1-client-protocol.h"

namespace {

QPlatformNativeInterface* waylandInterface()
{
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("wayland"))
        return nullptr;
    return QGuiApplication::platformNativeInterface();
}

struct Binding {
    zwp_idle_inhibit_manager_v1* manager = nullptr;
};

void announce(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* binding = static_cast<Binding*>(data);
    if (!binding->manager && std::strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) == 0)
        binding->manager = static_cast<zwp_idle_inhibit_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_idle_inhibit_manager_v1_interface, 1));
}

void withdraw(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {announce, withdraw};

}  // namespace

IdleInhibitProtocol::IdleInhibitProtocol(QWidget* viewer) : viewer_(viewer)
{
    QPlatformNativeInterface* native = waylandInterface();
    if (!viewer || !native)
        return;
    display_ = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
    if (!display_)
        return;
    // A queue of our own, so that Qt's dispatch never sees the registry's
    // events and our round trip dispatches nothing of Qt's.
    queue_ = wl_display_create_queue(display_);
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display_));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue_);
    wl_registry* registry = wl_display_get_registry(wrapper);
    wl_proxy_wrapper_destroy(wrapper);
    Binding binding;
    wl_registry_add_listener(registry, &kRegistryListener, &binding);
    wl_display_roundtrip_queue(display_, queue_);
    wl_registry_destroy(registry);
    manager_ = binding.manager;
    if (!manager_) {
        wl_event_queue_destroy(queue_);
        queue_ = nullptr;
        return;
    }
    viewer->installEventFilter(this);
    watchWindow();
    follow();
}

IdleInhibitProtocol::~IdleInhibitProtocol()
{
    if (!manager_)
        return;
    if (viewer_)
        viewer_->removeEventFilter(this);
    if (window_)
        window_->removeEventFilter(this);
    drop();
    zwp_idle_inhibit_manager_v1_destroy(manager_);
    wl_display_flush(display_);
    wl_event_queue_destroy(queue_);
}

bool IdleInhibitProtocol::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::WinIdChange:
        if (watched == viewer_)
            watchWindow();
        break;
    case QEvent::Expose:
        if (watched == window_)
            follow();
        break;
    case QEvent::Hide:
        if (watched == window_)
            drop();
        break;
    case QEvent::PlatformSurface:
        if (watched == window_
            && static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType()
                   == QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed)
            drop();
        break;
    default:
        break;
    }
    return false;
}

// The native window exists from the widget's first showing on.
void IdleInhibitProtocol::watchWindow()
{
    QWindow* window = viewer_ ? viewer_->windowHandle() : nullptr;
    if (window == window_)
        return;
    if (window_)
        window_->removeEventFilter(this);
    window_ = window;
    if (window_)
        window_->installEventFilter(this);
}

void IdleInhibitProtocol::follow()
{
    auto* surface = window_ && window_->isVisible()
                        ? static_cast<wl_surface*>(
                              QGuiApplication::platformNativeInterface()->nativeResourceForWindow("surface", window_))
                        : nullptr;
    if (surface == surface_)
        return;
    drop();
    if (!surface)
        return;
    inhibitor_ = zwp_idle_inhibit_manager_v1_create_inhibitor(manager_, surface);
    surface_ = surface;
    wl_display_flush(display_);
}

void IdleInhibitProtocol::drop()
{
    if (inhibitor_) {
        zwp_idle_inhibitor_v1_destroy(inhibitor_);
        wl_display_flush(display_);
    }
    inhibitor_ = nullptr;
    surface_ = nullptr;
}

#else  // built without Wayland: the protocol is never offered

IdleInhibitProtocol::IdleInhibitProtocol(QWidget* viewer) : viewer_(viewer) {}
IdleInhibitProtocol::~IdleInhibitProtocol() = default;
bool IdleInhibitProtocol::eventFilter(QObject*, QEvent*) { return false; }
void IdleInhibitProtocol::watchWindow() {}
void IdleInhibitProtocol::follow() {}
void IdleInhibitProtocol::drop() {}

#endif
