#include "viewer/DisplayPower.h"

#include <QGuiApplication>
#include <QScreen>

#ifdef MARBLEGLEN_OUTPUT_POWER
#include <qpa/qplatformnativeinterface.h>
#include <wayland-client.h>

#include <cstring>

#include "wlr-output-power-management-unstable-v1-client-protocol.h"
#endif

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#undef None  // Xlib's, which would hide Way::None

namespace {

Display* x11Display()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

}  // namespace

// DPMS forced off on the connection Qt holds; the server turns the screen on
// by itself at the next input, and so does On().
struct DisplayPower::X11Dpms {
    Display* display = nullptr;
    bool wasEnabled = true;

    bool off()
    {
        display = x11Display();
        int event = 0, error = 0;
        if (!display || !DPMSQueryExtension(display, &event, &error) || !DPMSCapable(display))
            return false;
        CARD16 level = 0;
        BOOL enabled = False;
        DPMSInfo(display, &level, &enabled);
        wasEnabled = enabled;
        // Forcing a level needs DPMS enabled; a disabled one is put back on waking.
        if (!enabled)
            DPMSEnable(display);
        DPMSForceLevel(display, DPMSModeOff);
        XSync(display, False);
        return true;
    }

    void on()
    {
        // Only on the connection it was turned off on: another may have gone.
        if (!display || display != x11Display())
            return;
        DPMSForceLevel(display, DPMSModeOn);
        if (!wasEnabled)
            DPMSDisable(display);
        XSync(display, False);
    }
};

#ifdef MARBLEGLEN_OUTPUT_POWER

namespace {

void announce(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* manager = static_cast<zwlr_output_power_manager_v1**>(data);
    if (!*manager && std::strcmp(interface, zwlr_output_power_manager_v1_interface.name) == 0)
        *manager = static_cast<zwlr_output_power_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_output_power_manager_v1_interface, 1));
}

void withdraw(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {announce, withdraw};

}  // namespace

// The output's power control, on a queue of our own (as the idle inhibitor
// does), held from turning it off until turning it on: the compositor gives
// one client at a time that control.
struct DisplayPower::OutputPower {
    wl_display* display = nullptr;
    wl_event_queue* queue = nullptr;
    zwlr_output_power_manager_v1* manager = nullptr;
    zwlr_output_power_v1* power = nullptr;
    bool failed = false;

    static void mode(void*, zwlr_output_power_v1*, uint32_t) {}
    static void fail(void* data, zwlr_output_power_v1*) { static_cast<OutputPower*>(data)->failed = true; }
    static constexpr zwlr_output_power_v1_listener kListener = {mode, fail};

    ~OutputPower()
    {
        release();
        if (manager)
            zwlr_output_power_manager_v1_destroy(manager);
        if (display)
            wl_display_flush(display);
        if (queue)
            wl_event_queue_destroy(queue);
    }

    bool off(QWidget* viewer)
    {
        if (!viewer || !qGuiApp || QGuiApplication::platformName() != QLatin1String("wayland"))
            return false;
        QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
        if (!manager && !bind(native))
            return false;
        QScreen* screen = viewer->screen();
        auto* output = screen ? static_cast<wl_output*>(native->nativeResourceForScreen("output", screen)) : nullptr;
        if (!output)
            return false;
        release();
        failed = false;
        power = zwlr_output_power_manager_v1_get_output_power(manager, output);
        zwlr_output_power_v1_add_listener(power, &kListener, this);
        zwlr_output_power_v1_set_mode(power, ZWLR_OUTPUT_POWER_V1_MODE_OFF);
        // A compositor that refuses (another client holds the control, the
        // output cannot) says so at once.
        wl_display_roundtrip_queue(display, queue);
        if (failed)
            release();
        return power != nullptr;
    }

    void on()
    {
        if (!power)
            return;
        zwlr_output_power_v1_set_mode(power, ZWLR_OUTPUT_POWER_V1_MODE_ON);
        release();
    }

    bool bind(QPlatformNativeInterface* native)
    {
        if (!display)
            display = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
        if (!display)
            return false;
        if (!queue)
            queue = wl_display_create_queue(display);
        auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
        wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
        wl_registry* registry = wl_display_get_registry(wrapper);
        wl_proxy_wrapper_destroy(wrapper);
        wl_registry_add_listener(registry, &kRegistryListener, &manager);
        wl_display_roundtrip_queue(display, queue);
        wl_registry_destroy(registry);
        return manager != nullptr;
    }

    void release()
    {
        if (power) {
            zwlr_output_power_v1_destroy(power);
            wl_display_flush(display);
        }
        power = nullptr;
    }
};

#else  // built without the protocol: never offered

struct DisplayPower::OutputPower {
    bool off(QWidget*) { return false; }
    void on() {}
};

#endif

DisplayPower::DisplayPower(QWidget* viewer)
    : viewer_(viewer), x11_(std::make_unique<X11Dpms>()), output_(std::make_unique<OutputPower>())
{
}

DisplayPower::~DisplayPower() { On(); }

bool DisplayPower::Off()
{
    if (off_ == Way::None) {
        if (x11_->off())
            off_ = Way::X11;
        else if (output_->off(viewer_))
            off_ = Way::Protocol;
    }
    return off_ != Way::None;
}

void DisplayPower::On()
{
    switch (off_) {
    case Way::X11: x11_->on(); break;
    case Way::Protocol: output_->on(); break;
    case Way::None: break;
    }
    off_ = Way::None;
}

const char* wayName(DisplayPower::Way way)
{
    switch (way) {
    case DisplayPower::Way::X11: return "dpms";
    case DisplayPower::Way::Protocol: return "output-power";
    case DisplayPower::Way::None: break;
    }
    return "none";
}
