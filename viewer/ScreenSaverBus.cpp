#include "viewer/ScreenSaverBus.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QVariantMap>

namespace {

// A desktop that does not answer within this long is taken as absent.
constexpr int kCallTimeoutMs = 2000;
const QString kReason = QStringLiteral("Showing pictures full screen");

const char* const kService = "org.freedesktop.ScreenSaver";
const char* const kServicePath = "/org/freedesktop/ScreenSaver";

const char* const kPortal = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";
// Inhibit's flags: 1 logout, 2 user switch, 4 suspend, 8 idle.
constexpr uint kInhibitIdle = 8;

// The first argument of a proper reply, or an invalid variant.
QVariant answer(QDBusConnection& bus, const QDBusMessage& call)
{
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst();
}

// Release calls wait for the reply: at program end the message must leave
// before the connection goes.
void release(QDBusConnection& bus, const QDBusMessage& call)
{
    bus.call(call, QDBus::Block, kCallTimeoutMs);
}

}  // namespace

DesktopServiceInhibit::DesktopServiceInhibit(QDBusConnection bus) : bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kServicePath, kService, "Inhibit");
    call << QCoreApplication::applicationName() << kReason;
    const QVariant cookie = answer(bus_, call);
    if (cookie.isValid())
        cookie_ = cookie.toUInt();
}

DesktopServiceInhibit::~DesktopServiceInhibit()
{
    if (!cookie_ || !bus_.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kServicePath, kService, "UnInhibit");
    call << *cookie_;
    release(bus_, call);
}

PortalInhibit::PortalInhibit(QDBusConnection bus) : bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, "org.freedesktop.portal.Inhibit", "Inhibit");
    // No parent window identifier: the inhibition is the program's, not a dialog's.
    call << QString() << kInhibitIdle << QVariantMap{{QStringLiteral("reason"), kReason}};
    const QVariant handle = answer(bus_, call);
    if (handle.userType() == qMetaTypeId<QDBusObjectPath>())
        request_ = qvariant_cast<QDBusObjectPath>(handle);
}

PortalInhibit::~PortalInhibit()
{
    if (!held() || !bus_.isConnected())
        return;
    release(bus_, QDBusMessage::createMethodCall(kPortal, request_.path(), "org.freedesktop.portal.Request", "Close"));
}
