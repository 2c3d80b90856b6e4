#include "viewer/ScreenSaverSwitch.h"

#include <QCoreApplication>
#include <QWidget>

#include "viewer/IdleInhibitProtocol.h"
#include "viewer/ScreenSaverBus.h"
#include "viewer/ScreenSaverX11.h"

namespace {

// Keeps the first way that holds the saver off; drops one that does not.
template <class Way, class... Args>
bool take(std::unique_ptr<Way>& slot, Args&&... args)
{
    slot = std::make_unique<Way>(std::forward<Args>(args)...);
    if (!slot->held())
        slot.reset();
    return slot != nullptr;
}

}  // namespace

ScreenSaverInhibition::ScreenSaverInhibition(QWidget* viewer, QDBusConnection bus)
{
    take(service_, bus) || take(portal_, bus) || (viewer && take(protocol_, viewer)) || take(x11_);
}

ScreenSaverInhibition::~ScreenSaverInhibition() = default;

ScreenSaverInhibition::Way ScreenSaverInhibition::way() const
{
    if (service_)
        return Way::Service;
    if (portal_)
        return Way::Portal;
    if (protocol_)
        return Way::Protocol;
    if (x11_)
        return Way::X11;
    return Way::None;
}

std::optional<quint32> ScreenSaverInhibition::cookie() const
{
    return service_ ? service_->cookie() : std::nullopt;
}

const char* wayName(ScreenSaverInhibition::Way way)
{
    switch (way) {
    case ScreenSaverInhibition::Way::Service: return "service";
    case ScreenSaverInhibition::Way::Portal: return "portal";
    case ScreenSaverInhibition::Way::Protocol: return "protocol";
    case ScreenSaverInhibition::Way::X11: return "x11";
    case ScreenSaverInhibition::Way::None: break;
    }
    return "none";
}

// The release runs when the application quits (the bus is still there then),
// when the switch is turned on again, or when the program's context goes.
ScreenSaverSwitch::ScreenSaverSwitch()
{
    if (auto* app = QCoreApplication::instance())
        releaseAtQuit_ = QObject::connect(app, &QCoreApplication::aboutToQuit, [this] { held_.reset(); });
}

ScreenSaverSwitch::~ScreenSaverSwitch() { QObject::disconnect(releaseAtQuit_); }

bool ScreenSaverSwitch::SetActive(bool active, QWidget* viewer)
{
    if (active) {
        held_.reset();
        return true;
    }
    if (!held_)
        held_ = std::make_unique<ScreenSaverInhibition>(viewer);
    return held_->way() != ScreenSaverInhibition::Way::None;
}

ScreenSaverInhibition::Way ScreenSaverSwitch::way() const
{
    return held_ ? held_->way() : ScreenSaverInhibition::Way::None;
}
