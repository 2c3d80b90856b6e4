#include "app/CaptionLabel.h"

#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {
// What assistive technology sees of a label: a button named by its caption
// that can be pressed.
class CaptionLabelAccessible : public QAccessibleWidget {
public:
    explicit CaptionLabelAccessible(CaptionLabel* label) : QAccessibleWidget(label, QAccessible::Button) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return label()->Caption();
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override
    {
        return QStringList(pressAction()) + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override
    {
        if (action == pressAction())
            emit label()->Click();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    CaptionLabel* label() const { return static_cast<CaptionLabel*>(object()); }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("CaptionLabel") && object && object->isWidgetType())
        return new CaptionLabelAccessible(static_cast<CaptionLabel*>(object));
    return nullptr;
}
}  // namespace

CaptionLabel::CaptionLabel(const QString& name, const QString& caption, QWidget* parent)
    : QLabel(caption, parent)
{
    static const bool factoryInstalled = (QAccessible::installFactory(accessibleFactory), true);
    (void)factoryInstalled;

    setObjectName(name);
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    setFocusPolicy(Qt::TabFocus);
    QFont f("Arial");
    f.setPixelSize(11);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(26, 0, 128));
    setPalette(p);
}

void CaptionLabel::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

// A click is a press and a release over the label, as with any button.
void CaptionLabel::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click =
        pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    event->accept();
    if (click)
        emit Click();
}

void CaptionLabel::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            emit Click();
        event->accept();
        return;
    default:
        QLabel::keyPressEvent(event);
    }
}

// The focus mark is our own dotted frame in the text colour: visible over the
// backdrop whatever the style, and drawn only while the label has the focus.
void CaptionLabel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
