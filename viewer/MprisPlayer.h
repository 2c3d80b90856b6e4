#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include "app/ImageList.h"

class ProgramContext;

// What the remote control sees of the show, and what it may ask of it. The
// viewer provides it while it is open.
class RemoteTarget {
public:
    struct Now {
        bool running = false;  // a slide show runs
        int count = 0;         // entries in the image list
        int entry = -1;        // the entry on screen, -1 for none
        QByteArray path;       // its path, as the file system's bytes
        bool operator==(const Now&) const = default;
    };
    virtual Now RemoteNow() const = 0;
    // Acts as a key with this code (KeyCodes) would.
    virtual void RemoteKey(int keyCode) = 0;
    virtual void RemoteRaise() = 0;

protected:
    ~RemoteTarget() = default;
};

// The show as a media player on the session bus (MPRIS), so that media keys
// the desktop catches, panels, phone remotes and scripts can step, pause and
// resume it. It holds its bus name only while a target (the viewer) is
// attached; its calls become the target's key inputs, so they follow the
// show's own rules.
class MprisPlayer : public QObject, private ImageList::Observer {
    Q_OBJECT
public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.marbleglen";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";

    explicit MprisPlayer(ProgramContext& program);
    ~MprisPlayer() override;
    MprisPlayer(const MprisPlayer&) = delete;
    MprisPlayer& operator=(const MprisPlayer&) = delete;

    // Takes the bus name (with ".instance<pid>" when another copy holds it)
    // and answers for target until Detach. Without a session bus, or while
    // the remote is not switched on, nothing happens.
    void Attach(RemoteTarget& target);
    void Detach();
    // What the target shows may have changed: the bus is told what did, once
    // the calls and events at hand are handled.
    void Changed();

    // Off unless the command line asks for it: then the viewer also takes the
    // media keys.
    void SetEnabled(bool on) { enabled_ = on; }
    bool Enabled() const { return enabled_; }

    // The bus name held; empty when none is.
    QString BusName() const { return busName_; }

    // For the interfaces on the bus.
    RemoteTarget::Now Now() const;
    void Key(int keyCode);
    void Raise();
    void Quit();
    static QVariantMap Metadata(const RemoteTarget::Now& now);
    static QVariantMap PlayerProperties(const RemoteTarget::Now& now);

private:
    // A search while the viewer is open changes what can be stepped to.
    void reset() override { Changed(); }
    void appended() override { Changed(); }
    void inserted(const std::vector<std::int32_t>&) override { Changed(); }
    void removed(const std::vector<std::int32_t>&) override { Changed(); }

    void tellChanges();

    ProgramContext& program_;
    RemoteTarget* target_ = nullptr;
    bool enabled_ = false;
    QDBusConnection bus_;
    QString busName_;
    QObject* exported_ = nullptr;  // carries the two interfaces while attached
    RemoteTarget::Now told_;       // what the bus was last told
    QTimer tell_;
};

// file://, the path's bytes percent-encoded but for unreserved characters and
// "/": names that are not valid UTF-8 survive the trip.
QString FileUri(const QByteArray& path);
