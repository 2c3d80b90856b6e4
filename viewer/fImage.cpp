#include "viewer/fImage.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QTimer>

#include <cmath>

#include "app/ImageListBox.h"
#include "app/forms.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"
#include "viewer/PictureBox.h"
#include "viewer/PictureFit.h"
#include "viewer/PicturePreparer.h"
#include "viewer/ScreenSaverSwitch.h"
#include "viewer/WheelHook.h"

namespace {

constexpr int kEscape = 27, kSpace = 32, kUp = 38, kDown = 40;

int virtualKeyCode(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Escape: return kEscape;
    case Qt::Key_Space: return kSpace;
    case Qt::Key_Up: return kUp;
    case Qt::Key_Down: return kDown;
    default: return 0;
    }
}

QImage errorPicture()
{
    static const QImage picture(QStringLiteral(":/viewer/error.png"));
    return picture;
}

}  // namespace

fImage::fImage(Data& data) : data_(data), preparer_(std::make_unique<PicturePreparer>())
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

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, [this] { runHandler([this] { Timer1_Timer(); }); });
    Timer2 = new QTimer(this);
    Timer2->setObjectName("Timer2");
    Timer2->setInterval(500);
    connect(Timer2, &QTimer::timeout, this, [this] { runHandler([this] { Timer2_Timer(); }); });
}

fImage::~fImage()
{
    // A window destroyed without closing (program end) still gives back what it took.
    if (loaded_)
        Form_Unload();
}

void fImage::Form_Load()
{
    HookMouseWheel(this);
    SetScreenSaverActive(false, this);
    setCursor(Qt::BlankCursor);
    loaded_ = true;
    runHandler([this] { SetTimer_Click(); });
}

void fImage::Form_Unload()
{
    loaded_ = false;
    UnhookMouseWheel();
    SetScreenSaverActive(true);
    unsetCursor();
}

void fImage::closeEvent(QCloseEvent* event)
{
    Timer1->stop();
    Timer2->stop();
    if (loaded_)
        Form_Unload();
    event->accept();
}

void fImage::setVisible(bool visible)
{
    if (visible) {
        QScreen* target = nullptr;
        if (auto* main = forms::existingFrmSearch())
            target = main->screen();
        if (!target)
            target = QGuiApplication::primaryScreen();
        if (target) {
            setScreen(target);
            setGeometry(target->geometry());
        }
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
    Image2->hide();
    Image1->hide();
    data_.currentImagePath = forms::frmSearch().List1->Text();

    const QSize screenPixels = ScreenPixels();
    const Picture picture = preparer_->take(data_.currentImagePath, screenPixels);
    if (!picture.ok()) {
        showErrorPicture();
        prepareNeighbours();
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
    prepareNeighbours();
}

// A step by key or wheel never waits for a decode: a held key steps faster
// than photos decode, and the window must keep answering. A picture not ready
// yet is fitted once decoded, unless another step or fit came first; until
// then the last picture stays, and only this one is decoded.
void fImage::stepFit()
{
    const QByteArray path = forms::frmSearch().List1->Text();
    const QSize screen = ScreenPixels();
    if (path.isEmpty() || preparer_->isReady(path, screen)) {
        Command1_Click();
        return;
    }
    steppedOnto_ = path;
    preparer_->dropUnfinishedBut(path, screen);
    preparer_->whenReady(path, screen, this, [this, path] {
        if (steppedOnto_ == path)
            runHandler([this] { Command1_Click(); });
    });
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
    const ImageListBox* list = forms::frmSearch().List1;
    if (listIndex < 0 || listIndex >= list->ListCount())
        return {};
    return list->List(listIndex);
}

void fImage::prepareNeighbours()
{
    const ImageListBox* list = forms::frmSearch().List1;
    const int count = list->ListCount();
    const int current = list->ListIndex();
    if (count < 2 || current < 0)
        return;
    // A running random show prepares the position it has drawn ahead; the list
    // neighbours would only stand in that picture's way in the decode queue.
    if (Timer2->isActive())
        return;
    // The way Scroll Up and Scroll Down go, wrapping at the ends; the next
    // entry last, so that it is decoded first.
    PrepareEntry(current > 0 ? current - 1 : count - 1);
    PrepareEntry(current == count - 1 ? 0 : current + 1);
}

void fImage::PrepareEntry(int listIndex) { PreparePath(entryPath(listIndex)); }

void fImage::PreparePath(const QByteArray& path) { preparer_->prepare(path, ScreenPixels()); }

bool fImage::IsPrepared(const QByteArray& path) const { return preparer_->isReady(path, ScreenPixels()); }

void fImage::Form_KeyDown(int KeyCode, int)
{
    const std::int16_t type = AppSettings::ReadSlideShowType();

    frmSearch& main = forms::frmSearch();
    switch (KeyCode) {
    case kEscape:
        Timer1->stop();
        Timer2->stop();
        close();
        break;
    case kSpace:
        if (main.List1->ListCount() <= 1)
            break;
        if (Timer1->isActive() || Timer2->isActive()) {
            Timer1->stop();
            Timer2->stop();
        } else if (type == AppSettings::kProgressive) {
            main.Command4_Click();
            main.Command2_Click();
            Timer1->start();
        } else if (type == AppSettings::kIntelligentRandom) {
            RandomNumber_Click();
            main.Command2_Click();
            Timer2->start();
        }
        break;
    case kUp:
        Timer1->stop();
        Timer2->stop();
        main.Command3_Click();
        stepFit();
        break;
    case kDown:
        Timer1->stop();
        Timer2->stop();
        main.Command4_Click();
        stepFit();
        break;
    default:
        break;
    }
}

void fImage::keyPressEvent(QKeyEvent* event)
{
    const int code = virtualKeyCode(event->key());
    runHandler([this, code, event] { Form_KeyDown(code, static_cast<int>(event->modifiers())); });
    event->accept();
}

void fImage::MouseWheel(std::int32_t, std::int32_t Rotation, std::int32_t, std::int32_t)
{
    if (Rotation == 0)
        return;
    Timer1->stop();
    Timer2->stop();
    if (Rotation > 0)
        forms::frmSearch().Command3_Click();
    else
        forms::frmSearch().Command4_Click();
    stepFit();
}

void fImage::Form_Click() { close(); }
void fImage::Image1_Click() { close(); }

void fImage::mousePressEvent(QMouseEvent* event) { event->accept(); }

void fImage::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Form_Click();
}
