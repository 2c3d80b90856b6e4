#include "viewer/fImage.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

#include "app/ImageList.h"
#include "app/KeyCodes.h"
#include "app/ProgramContext.h"
#include "settings/AppSettings.h"
#include "viewer/DelayTable.h"
#include "viewer/HiddenPointer.h"
#include "viewer/MprisPlayer.h"
#include "viewer/PictureBox.h"
#include "viewer/PictureFit.h"
#include "viewer/PicturePreparer.h"
#include "viewer/ScreenColours.h"
#include "viewer/ScreenSaverSwitch.h"
#include "viewer/WheelHook.h"

namespace {

QImage errorPicture()
{
    static const QImage picture(QStringLiteral(":/viewer/error.png"));
    return picture;
}

}  // namespace

fImage::fImage(Data& data, ProgramContext& program)
    : data_(data), program_(program), images_(program.Images()), preparer_(program.Preparer())
{
    setObjectName("fImage");
    setAttribute(Qt::WA_DeleteOnClose);
    // Frameless, not in the task bar; black behind the picture.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAutoFillBackground(true);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setFocusPolicy(Qt::StrongFocus);

    Image1 = new PictureBox(this);
    Image1->setObjectName("Image1");
    connect(Image1, &PictureBox::clicked, this, &fImage::Image1_Click);
    Image2 = new PictureBox(this);
    Image2->setObjectName("Image2");
    Image2->setPicture(errorPicture());
    Image2->resize(errorPicture().size());
    Image2->hide();  // no click action: a click on it ends there
    Notice = new QLabel(this);
    Notice->setObjectName("Notice");
    Notice->setAlignment(Qt::AlignCenter);
    Notice->setStyleSheet("color: white; background: black;");
    Notice->setAttribute(Qt::WA_TransparentForMouseEvents);
    Notice->hide();
    // Created last, so it lies over the pictures and the notice; it takes the
    // clicks and taps meant to wake the screen.
    Cover = new QWidget(this);
    Cover->setObjectName("Cover");
    Cover->setAutoFillBackground(true);
    Cover->setPalette(black);
    Cover->installEventFilter(this);
    Cover->hide();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, [this] { program_.runHandler([this] { Timer1_Timer(); }); });
    Timer2 = new QTimer(this);
    Timer2->setObjectName("Timer2");
    Timer2->setInterval(500);
    connect(Timer2, &QTimer::timeout, this, [this] { program_.runHandler([this] { Timer2_Timer(); }); });
    images_.addObserver(this);
}

fImage::~fImage()
{
    images_.removeObserver(this);
    // A window destroyed without closing (program end) still gives back what it took.
    if (loaded_)
        Form_Unload();
}

void fImage::Form_Load()
{
    program_.Wheel().Hook(this);
    program_.ScreenSaver().SetActive(false, this);
    setCursor(HiddenPointer());
    loaded_ = true;
    program_.runHandler([this] { SetTimer_Click(); });
    program_.Remote().Attach(*this);
}

void fImage::Form_Unload()
{
    loaded_ = false;
    program_.Remote().Detach();
    program_.Wheel().Unhook();
    program_.ScreenSaver().SetActive(true);
    unsetCursor();
}

void fImage::closeEvent(QCloseEvent* event)
{
    // Remote inputs not acted on yet stay in the show; a closed window shows nothing.
    remoteAnswers_.clear();
    Timer1->stop();
    Timer2->stop();
    data_.slideShow.Closed();
    if (loaded_)
        Form_Unload();
    event->accept();
}

void fImage::setVisible(bool visible)
{
    if (visible) {
        QScreen* target = nullptr;
        if (QWidget* main = program_.Main().existingWindow())
            target = main->screen();
        if (!target)
            target = QGuiApplication::primaryScreen();
        if (target) {
            setScreen(target);
            setGeometry(target->geometry());
        }
        // Read at each showing: a colour daemon may have set another profile since.
        preparer_.setDisplayColours(screenColours(target));
        setWindowState(windowState() | Qt::WindowFullScreen);
    }
    QWidget::setVisible(visible);
    if (visible) {
        raise();
        activateWindow();
    }
}

QSize fImage::ScreenPixels() const
{
    QScreen* s = screen();
    if (!s)
        return {};
    return s->geometry().size() * s->devicePixelRatio();
}

void fImage::Command1_Click()
{
    steppedOnto_.clear();  // this fit comes after any step still waiting
    Notice->hide();
    // The last picture is not hidden first: the new one (or the error
    // picture) replaces it before anything is painted, and hiding and showing
    // it again cost more than the rest of a step.
    Image2->hide();
    data_.currentImagePath = images_.currentPath();
    shownEntry_ = images_.current();
    program_.Remote().Changed();

    const QSize screenPixels = ScreenPixels();
    const Picture picture = preparer_.take(data_.currentImagePath, screenPixels);
    if (!picture.ok()) {
        showErrorPicture();
        perform(data_.slideShow.Fitted(images_, screenPixels));
        return;
    }

    const qreal ratio = screen() ? screen()->devicePixelRatio() : 1.0;
    const QRect at = fitPicture(picture.natural, screenPixels).rect;
    QImage shown = picture.image;
    shown.setDevicePixelRatio(ratio);
    Image1->setPicture(shown);
    Image1->setGeometry(QRect(QPoint(qRound(at.x() / ratio), qRound(at.y() / ratio)),
                              QSize(int(std::ceil(at.width() / ratio)), int(std::ceil(at.height() / ratio)))));
    Image1->show();
    perform(data_.slideShow.Fitted(images_, screenPixels));
}

// A step by key or wheel never waits for a decode: a held key steps faster
// than photos decode, and the window must keep answering. A picture not ready
// yet is fitted once decoded, unless another step or fit came first; until
// then the last picture stays, and only this one is decoded.
void fImage::stepFit()
{
    const QByteArray path = images_.currentPath();
    const QSize screen = ScreenPixels();
    if (path.isEmpty() || preparer_.isReady(path, screen)) {
        Command1_Click();
        return;
    }
    steppedOnto_ = path;
    preparer_.whenReady(path, screen, this, [this, path] {
        if (steppedOnto_ == path)
            program_.runHandler([this] { Command1_Click(); });
    });
}

void fImage::ShowNotice(const QString& text)
{
    Image1->hide();
    Image2->hide();
    Notice->setText(text);
    Notice->setGeometry(rect());
    Notice->setVisible(!text.isEmpty());
}

void fImage::SetAsleep(bool asleep)
{
    asleep_ = asleep;
    Cover->setGeometry(rect());
    Cover->setVisible(asleep);
    if (asleep) {
        Cover->raise();
        Timer1->stop();
        Timer2->stop();
    } else if (data_.slideShow.State() == ShowState::Progressive) {
        perform({ShowAction::RunProgressive});
    } else if (data_.slideShow.State() == ShowState::Random) {
        perform({ShowAction::RunRandom});
    }
}

bool fImage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != Cover)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
        emit WakeRequested();
        return true;
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        return true;  // the press has woken the screen; the release closes nothing
    default:
        return false;
    }
}

void fImage::resizeEvent(QResizeEvent* event)
{
    Cover->setGeometry(rect());
    Notice->setGeometry(rect());
    QWidget::resizeEvent(event);
}

void fImage::showErrorPicture()
{
    Image1->hide();
    const QRect at = fitPicture(Image2->size(), size()).rect;
    Image2->move(at.topLeft());
    Image2->show();
}

QByteArray fImage::entryPath(int listIndex) const
{
    if (listIndex < 0 || listIndex >= images_.count())
        return {};
    return images_.path(listIndex);
}

void fImage::PrepareEntry(int listIndex) { PreparePath(entryPath(listIndex)); }

namespace {

// A picture to prepare once the window has painted.
class PrepareEvent : public QEvent {
public:
    static QEvent::Type type()
    {
        static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
        return t;
    }
    explicit PrepareEvent(QByteArray path) : QEvent(type()), path(std::move(path)) {}
    const QByteArray path;
};

}  // namespace

// After the picture on screen is painted: a decode started now would share
// the processor with the paint, and the fit asks for its own picture first.
// Qt posts the window's paint at low priority, so the request is posted at
// the same priority behind it (an ordinary queued call would come first).
void fImage::prepareWhenPainted(int listIndex)
{
    QCoreApplication::postEvent(this, new PrepareEvent(entryPath(listIndex)), Qt::LowEventPriority);
}

bool fImage::event(QEvent* event)
{
    if (event->type() == PrepareEvent::type()) {
        PreparePath(static_cast<PrepareEvent*>(event)->path);
        return true;
    }
    return QWidget::event(event);
}

void fImage::PreparePath(const QByteArray& path) { preparer_.prepare(path, ScreenPixels()); }

bool fImage::IsPrepared(const QByteArray& path) const { return preparer_.isReady(path, ScreenPixels()); }

// The stored type is read at every key press, before anything else.
void fImage::Form_KeyDown(int KeyCode, int)
{
    const int type = data_.thisRun.type ? *data_.thisRun.type : AppSettings::ReadSlideShowType();
    perform(data_.slideShow.Key(KeyCode, images_, type));
}

void fImage::keyPressEvent(QKeyEvent* event)
{
    int code = KeyCodeOf(event->key());
    if (asleep_ && code != KeyCodes::Escape) {
        event->accept();
        emit WakeRequested();
        return;
    }
    if (IsMediaKeyCode(code) && !program_.Remote().Enabled())
        code = 0;  // as any other key the viewer does not know
    program_.runHandler([this, code, event] { Form_KeyDown(code, static_cast<int>(event->modifiers())); });
    event->accept();
}

// The remote sees the picture on screen, and its calls are the media keys.
fImage::Now fImage::RemoteNow() const
{
    const bool shown = shownEntry_ >= 0;
    return {data_.slideShow.State() != ShowState::Stopped, images_.count(), shownEntry_,
            shown ? data_.currentImagePath : QByteArray()};
}

// A remote input changes the show at once, in the order the inputs come; the
// window acts on a burst of them once, after the calls at hand. A flood of
// calls then costs a step of the list each, not a fit each, and the window
// keeps answering. The stored type is read only for a start.
void fImage::RemoteKey(int keyCode)
{
    if (asleep_) {  // as a key does: the screen wakes, the show is left as it was
        emit WakeRequested();
        return;
    }
    program_.runHandler([this, keyCode] {
        remoteAnswers_.push_back(
            data_.slideShow.Key(keyCode, images_, [] { return int(AppSettings::ReadSlideShowType()); }));
    });
    if (remoteAnswers_.size() == 1)
        QMetaObject::invokeMethod(this, [this] { program_.runHandler([this] { performRemote(); }); },
                                  Qt::QueuedConnection);
    program_.Remote().Changed();
}

void fImage::performRemote()
{
    if (remoteAnswers_.empty())
        return;
    const std::vector<ShowActions> answers = std::move(remoteAnswers_);
    remoteAnswers_.clear();
    perform(data_.slideShow.Settled(answers, images_));
}

void fImage::inserted(const std::vector<std::int32_t>& at)
{
    if (shownEntry_ >= 0)
        shownEntry_ = IndexAfterInsert(shownEntry_, at);
}

// A picture on screen whose file went is no entry of the list any more.
void fImage::removed(const std::vector<std::int32_t>& at)
{
    if (shownEntry_ >= 0)
        shownEntry_ = std::binary_search(at.begin(), at.end(), shownEntry_) ? -1 : IndexAfterRemove(shownEntry_, at);
}

void fImage::RemoteRaise()
{
    show();
    raise();
    activateWindow();
}

void fImage::MouseWheel(std::int32_t, std::int32_t Rotation, std::int32_t, std::int32_t)
{
    perform(data_.slideShow.Wheel(Rotation, images_));
}

void fImage::StartSlideShow(int type) { perform(data_.slideShow.Start(type, images_)); }

// The slide show decides, and has stepped or picked on the list already; the
// viewer does the rest with its timers, the preparer and the picture boxes.
void fImage::perform(const ShowActions& actions)
{
    // Remote inputs came first: their end is shown before what follows them.
    performRemote();
    for (const ShowAction& action : actions) {
        switch (action.kind) {
        case ShowAction::StopTimers:
            Timer1->stop();
            Timer2->stop();
            break;
        case ShowAction::RunProgressive:
            Timer2->stop();
            if (!Timer1->isActive())
                Timer1->start();
            break;
        case ShowAction::RunRandom:
            Timer1->stop();
            if (!Timer2->isActive())
                Timer2->start();
            break;
        case ShowAction::View:
            show();
            Command1_Click();
            break;
        case ShowAction::Fit:
            Command1_Click();
            break;
        case ShowAction::FitWhenDecoded:
            stepFit();
            break;
        case ShowAction::DropUnfinishedBut:
            preparer_.dropUnfinishedBut(entryPath(action.entry), ScreenPixels());
            break;
        case ShowAction::Prepare:
            prepareWhenPainted(action.entry);
            break;
        case ShowAction::Close:
            close();
            break;
        }
    }
    if (asleep_) {  // whatever ran, an asleep screen shows no steps
        Timer1->stop();
        Timer2->stop();
    }
    program_.Remote().Changed();
}

void fImage::Form_Click()
{
    if (data_.thisRun.clicksClose)
        close();
}

void fImage::Image1_Click() { Form_Click(); }

void fImage::mousePressEvent(QMouseEvent* event) { event->accept(); }

void fImage::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Form_Click();
}

// The slide show's operations: the delay, the pick and the ticks.

// Read once per opening of the viewer: a delay changed while a show runs
// takes effect the next time the viewer opens.
void fImage::SetTimer_Click()
{
    const auto interval = data_.thisRun.intervalMs
                              ? data_.thisRun.intervalMs
                              : DelayInterval(AppSettings::ReadText(AppSettings::kSlideShowDelayTime));
    if (!interval)
        return;
    Timer1->setInterval(*interval);
    Timer2->setInterval(*interval);
}

// Makes one entry of the list current and shows nothing; the slide show
// holds the rules.
void fImage::RandomNumber_Click() { perform(data_.slideShow.RandomPick(images_)); }

// A tick of either timer steps the show in the order it runs.
void fImage::Timer1_Timer() { perform(data_.slideShow.Tick(images_)); }

void fImage::Timer2_Timer() { perform(data_.slideShow.Tick(images_)); }
