#include "viewer/MprisPlayer.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QGuiApplication>
#include <QStringList>

#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

#include "app/KeyCodes.h"
#include "app/ProgramContext.h"
#include "app/WindowText.h"

namespace {

const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
// Track ids live under the program's own path; this one means "no track".
const QString kTrackPath = QStringLiteral("/org/marbleglen/Marbleglen/entry/");
const QString kNoTrack = QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");

bool canStep(const RemoteTarget::Now& now) { return now.count >= 2; }

QString playbackStatus(const RemoteTarget::Now& now)
{
    return now.running ? QStringLiteral("Playing") : QStringLiteral("Paused");
}

// The object on the bus; its two interfaces are adaptors, which answer errors
// through its call context (Qt finds it through the meta-object).
class Exported : public QObject, public QDBusContext {
    Q_OBJECT
public:
    explicit Exported(MprisPlayer& player) : player(player) {}
    MprisPlayer& player;
};

}  // namespace

// Qt checks each call's signature against these slots before it gets here: a
// call with other arguments is answered with an error and never reaches the
// show. Property writes it converts instead (see setRate).
class MprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ CanQuit)
    Q_PROPERTY(bool CanRaise READ CanRaise)
    Q_PROPERTY(bool HasTrackList READ HasTrackList)
    Q_PROPERTY(QString Identity READ Identity)
    Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ SupportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ SupportedMimeTypes)
public:
    explicit MprisRootAdaptor(Exported* parent) : QDBusAbstractAdaptor(parent), player_(parent->player) {}

    bool CanQuit() const { return true; }
    bool CanRaise() const { return true; }
    bool HasTrackList() const { return false; }
    QString Identity() const { return QStringLiteral("Marbleglen"); }
    QString DesktopEntry() const { return QGuiApplication::desktopFileName(); }
    // Nothing can be opened from outside: the show plays the image list.
    QStringList SupportedUriSchemes() const { return {}; }
    QStringList SupportedMimeTypes() const { return {}; }

public slots:
    void Raise() { player_.Raise(); }
    void Quit() { player_.Quit(); }

private:
    MprisPlayer& player_;
};

class MprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(double Rate READ Rate WRITE setRate)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(double Volume READ Volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ Position)
    Q_PROPERTY(double MinimumRate READ Rate)
    Q_PROPERTY(double MaximumRate READ Rate)
    Q_PROPERTY(bool CanGoNext READ CanStep)
    Q_PROPERTY(bool CanGoPrevious READ CanStep)
    Q_PROPERTY(bool CanPlay READ CanStep)
    Q_PROPERTY(bool CanPause READ CanStep)
    Q_PROPERTY(bool CanSeek READ CanSeek)
    Q_PROPERTY(bool CanControl READ CanControl)
public:
    explicit MprisPlayerAdaptor(Exported* parent)
        : QDBusAbstractAdaptor(parent), exported_(*parent), player_(parent->player)
    {
    }

    QString PlaybackStatus() const { return playbackStatus(player_.Now()); }
    QVariantMap Metadata() const { return MprisPlayer::Metadata(player_.Now()); }
    bool CanStep() const { return canStep(player_.Now()); }
    // Pictures have no speed, no sound and no position within them.
    double Rate() const { return 1.0; }
    double Volume() const { return 1.0; }
    qlonglong Position() const { return 0; }
    bool CanSeek() const { return false; }
    bool CanControl() const { return true; }
    // Writable as every player's are, but nothing here has a speed or a
    // sound: a write changes nothing. (Qt converts what a peer sends to the
    // property's type, so a write must not be an input of the show.)
    void setRate(double) {}
    void setVolume(double) {}

public slots:
    void Next() { player_.Key(KeyCodes::MediaNext); }
    void Previous() { player_.Key(KeyCodes::MediaPrevious); }
    void Pause() { player_.Key(KeyCodes::MediaPause); }
    void PlayPause() { player_.Key(KeyCodes::MediaPlayPause); }
    void Stop() { player_.Key(KeyCodes::MediaStop); }
    void Play() { player_.Key(KeyCodes::MediaPlay); }
    // CanSeek is false: these have no effect.
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath&, qlonglong) {}
    void OpenUri(const QString&)
    {
        exported_.sendErrorReply(QDBusError::NotSupported, QStringLiteral("Marbleglen opens no URIs"));
    }

private:
    Exported& exported_;
    MprisPlayer& player_;
};

QString FileUri(const QByteArray& path)
{
    QByteArray absolute = path;
    if (!absolute.startsWith('/')) {
        // A search folder given relative to where the program started.
        std::error_code failed;
        const std::string here = std::filesystem::current_path(failed).native();
        absolute = QByteArray::fromStdString(here) + '/' + path;
    }
    return QStringLiteral("file://") + QString::fromLatin1(absolute.toPercentEncoding("/"));
}

MprisPlayer::MprisPlayer(ProgramContext& program) : program_(program), bus_(QString())
{
    tell_.setSingleShot(true);
    tell_.setInterval(0);
    connect(&tell_, &QTimer::timeout, this, &MprisPlayer::tellChanges);
}

MprisPlayer::~MprisPlayer() { Detach(); }

void MprisPlayer::Attach(RemoteTarget& target)
{
    Detach();
    if (!enabled_)
        return;
    bus_ = QDBusConnection::sessionBus();
    if (!bus_.isConnected())
        return;
    target_ = &target;
    told_ = Now();
    program_.Images().addObserver(this);
    exported_ = new Exported(*this);
    new MprisRootAdaptor(static_cast<Exported*>(exported_));
    new MprisPlayerAdaptor(static_cast<Exported*>(exported_));
    // Only what the two interfaces declare is reachable.
    if (!bus_.registerObject(kObjectPath, exported_, QDBusConnection::ExportAdaptors)) {
        Detach();
        return;
    }
    // A second copy of the program answers under a name of its own.
    for (const QString& name : {QString::fromLatin1(kServiceName),
                                QStringLiteral("%1.instance%2").arg(kServiceName).arg(getpid())}) {
        if (bus_.registerService(name)) {
            busName_ = name;
            return;
        }
    }
    Detach();
}

void MprisPlayer::Detach()
{
    tell_.stop();
    if (!busName_.isEmpty())
        bus_.unregisterService(busName_);
    busName_.clear();
    if (exported_) {
        bus_.unregisterObject(kObjectPath);
        delete exported_;
        exported_ = nullptr;
    }
    if (target_)
        program_.Images().removeObserver(this);
    target_ = nullptr;
}

// Told once the calls and events at hand are handled: a flood of calls then
// costs one signal, not one for each call.
void MprisPlayer::Changed()
{
    if (target_ && !busName_.isEmpty() && !tell_.isActive())
        tell_.start();
}

RemoteTarget::Now MprisPlayer::Now() const { return target_ ? target_->RemoteNow() : RemoteTarget::Now{}; }

void MprisPlayer::Key(int keyCode)
{
    if (target_)
        target_->RemoteKey(keyCode);
}

void MprisPlayer::Raise()
{
    if (target_)
        target_->RemoteRaise();
}

// After the answer has gone out: the caller is told the call arrived.
void MprisPlayer::Quit()
{
    QTimer::singleShot(0, this, [this] { program_.EndProgram(); });
}

QVariantMap MprisPlayer::Metadata(const RemoteTarget::Now& now)
{
    if (now.entry < 0 || now.path.isEmpty())
        return {{QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(kNoTrack))}};
    const QString uri = FileUri(now.path);
    const int slash = now.path.lastIndexOf('/');
    return {
        {QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(kTrackPath + QString::number(now.entry)))},
        {QStringLiteral("xesam:url"), uri},
        {QStringLiteral("mpris:artUrl"), uri},
        {QStringLiteral("xesam:title"), DisplayPath(now.path.mid(slash + 1))},
    };
}

// The player's properties that follow the show.
QVariantMap MprisPlayer::PlayerProperties(const RemoteTarget::Now& now)
{
    const bool can = canStep(now);
    return {
        {QStringLiteral("PlaybackStatus"), playbackStatus(now)},
        {QStringLiteral("Metadata"), Metadata(now)},
        {QStringLiteral("CanGoNext"), can},
        {QStringLiteral("CanGoPrevious"), can},
        {QStringLiteral("CanPlay"), can},
        {QStringLiteral("CanPause"), can},
    };
}

void MprisPlayer::tellChanges()
{
    if (!target_ || busName_.isEmpty())
        return;
    const RemoteTarget::Now now = Now();
    QVariantMap all = PlayerProperties(now);
    QVariantMap changed;
    auto take = [&](const QString& name) { changed.insert(name, all.value(name)); };
    if (now.running != told_.running)
        take(QStringLiteral("PlaybackStatus"));
    if (now.entry != told_.entry || now.path != told_.path)
        take(QStringLiteral("Metadata"));
    if (canStep(now) != canStep(told_))
        for (const char* name : {"CanGoNext", "CanGoPrevious", "CanPlay", "CanPause"})
            take(QString::fromLatin1(name));
    told_ = now;
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    bus_.send(signal);
}

#include "MprisPlayer.moc"
